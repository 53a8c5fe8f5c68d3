// Application object: start-up, settings, catalogue and command templates.
#include "taloria_app.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "child_process.h"
#include "core_text.h"
#include "file_io.h"
#include "file_needed_dialog.h"
#include "taloria_doc.h"
#include "ui_host.h"

namespace {

constexpr const char* kSection = "Config";

using core::UnableToOpen;

// Whitespace of the configuration word splitter: the C locale's, and never a
// byte of 0x80 and above.
bool IsWordSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The argument of "$ARG(", "$TEE(" and "$ASK(": what follows the five
// characters, up to the last ')' when there is one.
std::string MacroArgument(const std::string& word) {
    std::string rest = word.substr(5);
    size_t close = rest.rfind(')');
    return close == std::string::npos ? rest : rest.substr(0, close);
}

}  // namespace

CTaloriaApp::CTaloriaApp()
    : framework::CWinApp("Taloria 2"), m_strProgramDir(process::executable_folder()) {}

CTaloriaApp* TaloriaApp() { return static_cast<CTaloriaApp*>(framework::AfxGetApp()); }

CTaloriaDoc* CTaloriaApp::GetTaloriaDoc() const { return static_cast<CTaloriaDoc*>(GetDocument()); }

framework::BOOL CTaloriaApp::InitInstance() {
    // The platform's socket layer needs no start-up here, and the browser
    // shell hosts the pages, so there is nothing to enable before the settings.
    SetRegistryKey("Taloria");
    LoadStdProfileSettings(4);
    LoadSettings();

    if (!m_strStartDir.empty()) {
        m_strAppDir = m_strStartDir;
    } else {
        std::error_code error;
        m_strAppDir = std::filesystem::current_path(error).string();
    }

    for (int stage = 0; stage < NUM_STAGES; ++stage) ScanConfigurations(stage);

    AddDocTemplate([] { return std::make_unique<CTaloriaDoc>(); }, "Talor");
    if (!ProcessShellCommand(m_strCmdLineFile)) return 0;
    // Showing the main window is the shell's part once this returns.
    return 1;
}

int CTaloriaApp::ExitInstance() {
    SaveSettings();
    return framework::CWinApp::ExitInstance();
}

void CTaloriaApp::LoadSettings() {
    m_bOldConsole = GetProfileInt(kSection, "OldConsole", 0);
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        m_strStageConfig[stage] =
            GetProfileString(kSection, "Stage" + std::to_string(stage + 1), "");
    }
}

void CTaloriaApp::SaveSettings() {
    WriteProfileInt(kSection, "OldConsole", m_bOldConsole);
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        WriteProfileString(kSection, "Stage" + std::to_string(stage + 1), m_strStageConfig[stage]);
    }
}

void CTaloriaApp::ScanConfigurations(int stage) {
    const std::string folder = m_strAppDir + "/config";
    const char digit = static_cast<char>('1' + stage);
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        std::error_code kind_error;
        if (name[0] != digit || !core::EndsWithAnyCase(name, ".txt") ||
            it->is_directory(kind_error))
            continue;
        names.push_back(std::move(name));
    }
    // Sorted by bytes, so the order does not depend on the file system.
    std::sort(names.begin(), names.end());

    m_configs[stage].clear();
    for (const std::string& file : names) {
        ConfigEntry entry;
        entry.path = folder + "/" + file;
        for (size_t i = 1; i < file.size() && file[i] != '.'; ++i) {
            entry.name += file[i] == '_' ? ' ' : file[i];
        }
        m_configs[stage].push_back(std::move(entry));
    }
    m_nConfigs[stage] = static_cast<int>(m_configs[stage].size());
    if (m_nConfigs[stage] == 0) {
        framework::AfxMessageBox("No configuration files found in '" + folder + "/" + digit +
                                 "*.txt'");
    }
}

void CTaloriaApp::SelectConfiguration(int stage, const std::string& name) {
    for (int i = 0; i < m_nConfigs[stage]; ++i) {
        if (m_configs[stage][i].name == name) {
            LoadCommandTemplates(stage, m_configs[stage][i].path);
            m_strStageConfig[stage] = name;
            return;
        }
    }
}

framework::BOOL CTaloriaApp::GetConfigHelp(int stage, const std::string& name, std::string& help) {
    help.clear();
    for (int i = 0; i < m_nConfigs[stage]; ++i) {
        const ConfigEntry& entry = m_configs[stage][i];
        if (entry.name != name) continue;
        std::string text;
        if (!framework::ReadTextFile(entry.path, text)) {
            framework::AfxMessageBox(UnableToOpen(entry.path));
            return 0;
        }
        for (const std::string& line : framework::SplitLines(text)) {
            if (line[0] == '?') help += line.substr(1);
        }
    }
    return 1;
}

std::vector<std::string> SplitConfigWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool protected_stretch = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '#' || (!protected_stretch && IsWordSeparator(c))) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
            continue;
        }
        if (!protected_stretch && c == '(') {
            // A '(' protects up to the next ')', or to the end when there is none.
            protected_stretch = true;
        } else if (protected_stretch && c == ')') {
            protected_stretch = false;
        }
        word += c;
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

void CTaloriaApp::LoadCommandTemplates(int stage, const std::string& path) {
    m_nCommands[stage] = 0;
    std::string text;
    if (!framework::ReadTextFile(path, text)) {
        framework::AfxMessageBox(UnableToOpen(path));
        return;
    }
    std::vector<CommandTemplate>& commands = m_commands[stage];
    for (std::string line : framework::SplitLines(text)) {
        // The line end is not part of any word, also when a '(' is left open.
        if (line.back() == '\n') line.pop_back();
        if (line.empty() || line[0] == ';' || line[0] == '?') continue;

        size_t n = static_cast<size_t>(m_nCommands[stage]);
        if (n == commands.size()) commands.emplace_back();
        CommandTemplate& t = commands[n];
        t.text.clear();
        t.flags = 0;
        t.arg.clear();

        for (const std::string& word : SplitConfigWords(line)) {
            if (word == "$INPUT") {
                t.flags |= CMD_INPUT;
            } else if (word == "$OUTPUT") {
                t.flags |= CMD_OUTPUT;
            } else if (word == "$TEXT") {
                t.flags |= CMD_TEXT;
            } else if (word == "$XML") {
                t.flags |= CMD_XML;
            } else if (word == "$WAV") {
                t.flags |= CMD_WAV;
            } else if (word.starts_with("$ARG(")) {
                t.arg = MacroArgument(word);
                t.flags |= CMD_ARG;
            } else if (word.starts_with("$TEE(")) {
                t.arg = MacroArgument(word);
                t.flags |= CMD_TEE;
            } else if (word.starts_with("$ASK(")) {
                CFileNeededDialog dialog;
                dialog.m_strMessage = MacroArgument(word);
                dialog.m_strFilePath = m_strAskedFile;
                if (dialog.DoModal() == framework::IDOK) {
                    m_strAskedFile = dialog.m_strFilePath;
                    t.text += ' ';
                    t.text += dialog.m_strFilePath;
                }
            } else {
                if (!t.text.empty()) t.text += ' ';
                t.text += word;
            }
        }
        ++m_nCommands[stage];
    }
}
