// The run entry and the results and help pages.
#include "run.h"

#include <cstdio>

#include "taloria_app.h"
#include "taloria_doc.h"

namespace {

std::vector<std::string> OutputFiles(const CommandTemplate& t, int stage, int index,
                                     const std::string& app_dir) {
    std::vector<std::string> files;
    if (!t.done) {
        // A failed command leaves its output as a report in place of its data.
        files.push_back(app_dir + "/html/" + NumberedOutputName(stage, index, ".txt"));
        return files;
    }
    if (const char* ext = NumberedOutputExtension(t.flags)) {
        files.push_back(app_dir + "/html/" + NumberedOutputName(stage, index, ext));
    }
    if (!t.arg.empty()) files.push_back(app_dir + "/" + t.arg);
    return files;
}

std::string Row(const char* colour, const std::string& content) {
    return std::string("<tr><td bgcolor='") + colour + "'><center>" + content +
           "</center></td></tr>\n";
}

std::string Link(const std::string& href, const std::string& target, const std::string& label) {
    return "<a href='" + href + "'" + (target.empty() ? "" : " target='" + target + "'") + ">" +
           label + "</a>";
}

std::string IconLink(const std::string& href, const char* icon) {
    return Link(href, "RIGHT", std::string("<img src='") + icon + "' width=50 height=32 border=0>");
}

std::string CommandRow(const CommandResult& c, const std::string& app_dir) {
    if (c.flags & CMD_INPUT)
        return Row("#D0FFD0", Link(app_dir + "/html/synthesis.htm", "_top", "Input"));
    if (c.flags & CMD_OUTPUT) return Row("#D0FFD0", Link(app_dir + "/" + c.arg, "RIGHT", "Output"));
    if (c.flags & CMD_ARG) return Row("#FFFFD0", Link(app_dir + "/" + c.arg, "RIGHT", c.text));
    return Row("#FFFFD0", c.text);
}

// The output row of a command that stores text, XML or audio: one row, for
// the first of those marks.
std::string OutputRow(const CommandResult& c) {
    if (!(c.flags & (CMD_TEXT | CMD_XML | CMD_WAV)) || (c.flags & (CMD_INPUT | CMD_OUTPUT)))
        return "";
    if (c.flags & CMD_TEXT)
        return Row("#D0FFD0", IconLink(NumberedOutputName(c.stage, c.index, ".txt"), "text.gif"));
    if (c.flags & CMD_XML)
        return Row("#D0FFD0", IconLink(NumberedOutputName(c.stage, c.index, ".xml"), "xml.gif"));
    return Row("#D0FFD0", Link(NumberedOutputName(c.stage, c.index, ".wav"), "", "AUDIO"));
}

}  // namespace

std::string NumberedOutputName(int stage, int index, const char* ext) {
    return "output" + std::to_string(stage) + "-" + std::to_string(index) + ext;
}

const char* NumberedOutputExtension(int flags) {
    if (flags & CMD_TEXT) return ".txt";
    if (flags & CMD_XML) return ".xml";
    if (flags & CMD_WAV) return ".wav";
    return nullptr;
}

const CommandResult* RunResult::failed_command() const {
    if (commands.empty() || commands.back().completed) return nullptr;
    return &commands.back();
}

RunResult CollectRunResult(const CTaloriaApp& app, const std::string& error) {
    RunResult result;
    result.completed = true;
    for (int s = 0; s < NUM_STAGES && result.completed; ++s) {
        for (int i = 0; i < app.m_nCommands[s]; ++i) {
            const CommandTemplate& t = app.m_commands[s][i];
            CommandResult c{
                s, i, t.text, t.flags, t.arg, t.done != 0, OutputFiles(t, s, i, app.m_strAppDir),
                ""};
            if (!c.completed) c.error = error;
            result.commands.push_back(std::move(c));
            if (!t.done) {
                result.completed = false;
                break;
            }
        }
    }
    return result;
}

std::string ResultRows(const RunResult& result, const std::string& app_dir) {
    std::string rows;
    for (const CommandResult& c : result.commands) {
        if (!c.completed) {
            return rows + Row("#FFD0D0",
                              IconLink(NumberedOutputName(c.stage, c.index, ".txt"), "error.gif"));
        }
        rows += CommandRow(c, app_dir);
        rows += OutputRow(c);
    }
    return rows;
}

RunResult CTaloriaDoc::Run(const RunRequest& request) {
    CTaloriaApp& app = *TaloriaApp();
    SetInputText(request.text);
    for (int stage = 0; stage < NUM_STAGES; ++stage)
        app.SelectConfiguration(stage, request.configurations[stage]);
    WriteInputPage();
    RunStages();
    RunResult result = CollectRunResult(app, m_strRunError);
    result.play_file = m_strPlayFile;
    WriteResultsPage(result);
    result.results_page = app.m_strAppDir + "/html/system.htm";
    return result;
}

CTaloriaDoc::BOOL CTaloriaDoc::WriteResultsPage(const RunResult& result) {
    const std::string& dir = TaloriaApp()->m_strAppDir;
    return WritePage(dir + "/html/system.htt", dir + "/html/system.htm", ResultRows(result, dir),
                     "", "", "");
}

CTaloriaDoc::BOOL CTaloriaDoc::WriteConfigHelpPage(int stage,
                                                   const std::string& configuration_name) {
    CTaloriaApp& app = *TaloriaApp();
    std::string help;
    if (!app.GetConfigHelp(stage, configuration_name, help)) return 0;
    const std::string& dir = app.m_strAppDir;
    // The name comes from the posted form and may hold anything; the help text is the
    // configuration author's own and may hold markup.
    WritePage(dir + "/html/cfghelp.htt", dir + "/html/cfghelp.htm", HtmlText(configuration_name),
              help, "", "");
    return 1;
}
