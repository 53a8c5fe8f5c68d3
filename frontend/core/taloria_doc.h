// The front end's document: the input text, the page the view shows, the file
// Play plays, the generated pages and the stage runner.
#pragma once

#include <atomic>
#include <string>

#include "document.h"
#include "run.h"

// Set from any thread to stop a run: the running command is ended (with
// everything it started) and counts as failed. Cleared when a run starts.
extern std::atomic<bool> g_bStopRun;

// `text` with "&" and "<" written as character references, so that a page shows it
// exactly as it is and never reads it as markup. Used for configuration names, which
// are file names and may hold any character.
std::string HtmlText(const std::string& text);

class CTaloriaDoc : public framework::CDocument {
public:
    using BOOL = framework::BOOL;

    CTaloriaDoc();

    BOOL OnNewDocument() override;
    BOOL OnOpenDocument(const std::string& path) override;
    BOOL OnSaveDocument(const std::string& path) override;
    void Serialize() override {}

    void SetInputText(const std::string& text) { m_strInputText = text; }
    // Rewrites html/input.htm with the input text and the three option lists. The text is
    // written so that the page's text field shows it, and posts it back, exactly.
    void WriteInputPage();
    // Copies `template_path` to `page_path`, replacing the whole lines "%1".."%4"
    // with s1..s4. Returns 0 (after a message) when either file fails.
    BOOL WritePage(const std::string& template_path, const std::string& page_path,
                   const std::string& s1, const std::string& s2, const std::string& s3,
                   const std::string& s4);

    // One run: takes the request's text, selects its configurations, rewrites
    // the input page, runs the stages and writes the results page, in that
    // order. Messages go to the user interface as the run goes.
    RunResult Run(const RunRequest& request);
    // Writes html/system.htm with the rows of `result`; 0 (after a message) on failure.
    BOOL WriteResultsPage(const RunResult& result);
    // Writes html/cfghelp.htm with the help lines of a stage's configuration;
    // 0 when its file cannot be read (after a message; nothing is written).
    BOOL WriteConfigHelpPage(int stage, const std::string& configuration_name);

    // Runs every template of the three stages; 1 when all completed, 0 after a failure.
    BOOL RunStages();
    // Runs one command with the wait cursor shown; 1 for success.
    BOOL ExecuteCommand(const std::string& command, const std::string& input, std::string& output);
    // Starts one command as a child process; returns its exit code (-1 when
    // it could not be started, was stopped or was killed by a signal).
    int SpawnCommand(const std::string& command, const std::string& input, std::string& output);
    // The feeder thread's procedure (the process layer's).
    static unsigned long FeedThreadProc(void* args);

    // The option list of a stage's drop-down list on the input page.
    static std::string OptionList(int stage);

    std::string m_strPlayFile;
    std::string m_strInputText;
    std::string m_strPage;
    int m_bFirstNew = 1;
    // What the command that stopped the last run printed, or the file that
    // could not be written; empty after a run that completed.
    std::string m_strRunError;

private:
    // One template of a run: takes the input text, names the play file or
    // runs the command (a failure is reported and its output stored as the
    // report). 0 after a failure.
    BOOL RunTemplate(int stage, int index, const CommandTemplate& t, std::string& data);
    // Stores the data of a template in its numbered output and its $TEE( file.
    BOOL StoreData(int stage, int index, const CommandTemplate& t, const std::string& data);
};
