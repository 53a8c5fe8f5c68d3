// The front end's application object: settings, the catalogue of stage
// configurations and the command templates of the selected ones.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app.h"
#include "taloria.h"

class CTaloriaDoc;

class CTaloriaApp : public framework::CWinApp {
public:
    CTaloriaApp();

    // Start-up: settings, application directory, catalogue, document template,
    // then New (or Open of m_strCmdLineFile). Returns 0 when the program should end.
    framework::BOOL InitInstance() override;
    // Normal end: saves the settings and writes the settings file.
    int ExitInstance() override;

    void LoadSettings();
    void SaveSettings();

    // Lists the configuration files of `stage` (0..2) in "config", sorted by
    // file name; shows a message when there is none.
    void ScanConfigurations(int stage);
    // Loads the templates of the first configuration named `name`; an unknown
    // name changes nothing.
    void SelectConfiguration(int stage, const std::string& name);
    // Replaces the stage's templates with those of the file at `path`.
    void LoadCommandTemplates(int stage, const std::string& path);
    // Collects the "?" lines of every configuration named `name`; 0 when one
    // of their files cannot be read.
    framework::BOOL GetConfigHelp(int stage, const std::string& name, std::string& help);

    // The document, once InitInstance has created it.
    CTaloriaDoc* GetTaloriaDoc() const;

    int m_bOldConsole = 0;
    std::string m_strAskedFile;
    std::array<std::string, NUM_STAGES> m_strStageConfig;
    std::string m_strAppDir;
    // Only the first m_nCommands[s] entries of m_commands[s] are valid; the
    // list never shrinks, so a template keeps its done mark across reloads.
    std::array<std::vector<CommandTemplate>, NUM_STAGES> m_commands;
    std::array<int, NUM_STAGES> m_nCommands{};
    std::array<std::vector<ConfigEntry>, NUM_STAGES> m_configs;
    std::array<int, NUM_STAGES> m_nConfigs{};

    // The application directory to take at start-up instead of the current
    // directory (tests); empty: the current directory.
    std::string m_strStartDir;
    // Folder where stage programs are looked up before PATH: by default the
    // folder of the running executable.
    std::string m_strProgramDir;
};

// The application object, through the framework's current-application pointer.
CTaloriaApp* TaloriaApp();

// Splits one configuration line into words: blanks separate except inside
// "(...)", '#' always separates.
std::vector<std::string> SplitConfigWords(const std::string& line);
