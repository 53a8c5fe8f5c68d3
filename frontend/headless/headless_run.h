// `taloria2 --run`: the run of the input page without the browser, for one
// text in the app directory or for every line of a corpus (corpus_run.h).
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "run.h"
#include "run_options.h"

class CTaloriaApp;

namespace headless {

class ConsoleUiHost;

// The program's --run mode, from its command line to its exit status.
int RunFromCommandLine(int argc, char** argv);

// Set by SIGINT and SIGTERM once InstallStopHandlers ran; they also set the
// stage runner's stop flag, which ends the running command and everything
// it started.
extern volatile std::sig_atomic_t g_nInterrupted;
void InstallStopHandlers();

// Prepares `app` for runs on `app_dir`: the catalogues of the three stages.
// The settings are neither read nor written.
void OpenCatalogues(CTaloriaApp& app, const std::string& app_dir);

// False, after a message that lists the names there are, when a configuration
// name is not in its stage's catalogue. An empty name selects nothing.
bool CheckConfigurationNames(const CTaloriaApp& app, const RunOptions& options);

// Selects each configuration once; false, after a message naming the
// configuration and the $ASK( text, when an $ASK( word finds no answer.
bool CheckAskAnswers(CTaloriaApp& app, ConsoleUiHost& host, const RunOptions& options);

// The text of --text, of --input FILE or of standard input. Carriage returns
// are dropped, as the browser's form does.
bool ReadInputText(const RunOptions& options, std::string& text, std::string& error);

// Copies the files of `result` and its results page from `app_dir` into
// `dest_dir`; a file under html/ keeps only its name, others their path below
// the app directory. Returns the paths written, relative to `dest_dir`.
std::vector<std::string> CopyRunOutputs(const RunResult& result, const std::string& app_dir,
                                        const std::string& dest_dir, std::string& error);

}  // namespace headless
