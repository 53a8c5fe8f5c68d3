// The stage runner: runs the command templates of the three stages as one chain
// of child processes and stores every intermediate result.
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "core_text.h"
#include "file_io.h"
#include "stage_command.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host.h"

std::atomic<bool> g_bStopRun{false};

namespace {

using core::UnableToOpen;

// Stage data are text, and text ends at its first NUL byte wherever it is stored (the
// process layer cuts what it feeds to a child the same way). Audio is the exception: a
// WAV file holds NUL bytes in its header, so a cut copy would always be unplayable. The
// data of a command marked $WAV are audio wherever they are stored, and so is a tee file
// that is named as an audio file.
std::string_view StoredBytes(const std::string& data, bool audio) {
    if (audio) return data;
    return std::string_view(data.data(), ::strnlen(data.data(), data.size()));
}

// The progress line of a command: stages and commands counted from 1 for the user.
std::string StageProgress(int stage, int index, const std::string& command) {
    return "Stage " + std::to_string(stage + 1) + ", command " + std::to_string(index + 1) + ": " +
           command;
}

bool IsAudioFileName(const std::string& path) {
    return core::EndsWithAnyCase(path, ".wav") || core::EndsWithAnyCase(path, ".mp3");
}

}  // namespace

CTaloriaDoc::BOOL CTaloriaDoc::RunStages() {
    CTaloriaApp& app = *TaloriaApp();
    g_bStopRun = false;
    // Relative paths in command lines and in arg resolve against the
    // application directory. The child is started there in any case.
    if (::chdir(app.m_strAppDir.c_str()) != 0) {
        // Nothing to do: every path of the run is absolute, and the process
        // layer gives the child the application directory itself.
    }

    m_strPlayFile.clear();
    m_strRunError.clear();
    framework::ui_host().command_states_changed();
    std::string data;
    BOOL result = 1;
    for (int s = 0; s < NUM_STAGES && result; ++s) {
        for (int i = 0; i < app.m_nCommands[s]; ++i) {
            CommandTemplate& t = app.m_commands[s][i];
            t.done = 0;
            if (!RunTemplate(s, i, t, data) || !StoreData(s, i, t, data)) {
                result = 0;
                break;
            }
            t.done = 1;
        }
    }
    framework::ui_host().progress_notice("");
    return result;
}

CTaloriaDoc::BOOL CTaloriaDoc::RunTemplate(int stage, int index, const CommandTemplate& t,
                                           std::string& data) {
    const std::string& dir = TaloriaApp()->m_strAppDir;
    if (t.flags & CMD_INPUT) {
        data = m_strInputText;
        return 1;
    }
    if (t.flags & CMD_OUTPUT) {
        m_strPlayFile = dir + "/" + t.arg;
        framework::ui_host().command_states_changed();
        return 1;
    }
    framework::ui_host().progress_notice(StageProgress(stage, index, t.text));
    std::string output;
    if (ExecuteCommand(t.text, data, output)) {
        data = std::move(output);
        return 1;
    }
    // The box offers to show what the command printed, stored right after it.
    const std::string report = dir + "/html/" + NumberedOutputName(stage, index, ".txt");
    const bool show_report =
        framework::ui_host().message_box_offering_file("Command '" + t.text + "' fails", report);
    if (!framework::WriteFileInPlace(report, StoredBytes(output, (t.flags & CMD_WAV) != 0))) {
        framework::AfxMessageBox(UnableToOpen(report));
    } else if (show_report) {
        framework::ui_host().navigate(report, "RIGHT");
    }
    m_strRunError = std::move(output);
    return 0;
}

CTaloriaDoc::BOOL CTaloriaDoc::StoreData(int stage, int index, const CommandTemplate& t,
                                         const std::string& data) {
    const std::string& dir = TaloriaApp()->m_strAppDir;
    const bool audio = (t.flags & CMD_WAV) != 0;
    std::string file;
    if (const char* ext = NumberedOutputExtension(t.flags))
        file = dir + "/html/" + NumberedOutputName(stage, index, ext);
    if (!file.empty() && !framework::WriteFileInPlace(file, StoredBytes(data, audio))) {
        framework::AfxMessageBox(UnableToOpen(file));
        m_strRunError = UnableToOpen(file);
        return 0;
    }
    if (t.flags & CMD_TEE) {
        const std::string tee = dir + "/" + t.arg;
        if (!framework::WriteFileInPlace(tee, StoredBytes(data, audio || IsAudioFileName(t.arg)))) {
            framework::AfxMessageBox(UnableToOpen(tee));
            m_strRunError = UnableToOpen(tee);
            return 0;
        }
    }
    return 1;
}

CTaloriaDoc::BOOL CTaloriaDoc::ExecuteCommand(const std::string& command, const std::string& input,
                                              std::string& output) {
    framework::CWaitCursor wait;
    output.clear();
    // A "$PRX " command stands for work done elsewhere: nothing is started
    // and it succeeds with empty output.
    if (command.compare(0, 5, "$PRX ") == 0) return 1;
    return SpawnCommand(command, input, output) == 0 ? 1 : 0;
}

int CTaloriaDoc::SpawnCommand(const std::string& command, const std::string& input,
                              std::string& output) {
    const CTaloriaApp& app = *TaloriaApp();
    core::SpawnOptions options;
    options.app_dir = app.m_strAppDir;
    options.program_dir = app.m_strProgramDir;
    options.old_console = app.m_bOldConsole != 0;
    options.stop = &g_bStopRun;
    return core::spawn_command(command, input, output, options);
}

unsigned long CTaloriaDoc::FeedThreadProc(void* args) { return core::FeedThreadProc(args); }
