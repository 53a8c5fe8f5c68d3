// One run of the three stages as a function of its inputs: the text and the
// three configuration names go in, a row per command that ran comes out. The
// view's form request and the command line's runs both call it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "taloria.h"

class CTaloriaApp;

struct RunRequest {
    std::string text;
    // Display names of the configurations of stages 1 to 3; a name that is not
    // in its stage's catalogue (an empty one included) keeps that stage's
    // current configuration.
    std::array<std::string, NUM_STAGES> configurations;
};

// One command of a run, in stage order. Only the commands up to the one at
// which the run stopped are reported.
struct CommandResult {
    int stage = 0;  // 0..2
    int index = 0;  // position within its stage, from 0
    std::string text;
    int flags = 0;  // CMD_* bits
    std::string arg;
    bool completed = false;  // its data are stored; false for the command that failed
    // Absolute paths of the files this command wrote or named: its numbered
    // output (or failure report), its $TEE( file, its $ARG( file.
    std::vector<std::string> output_files;
    std::string error;  // what the failed command printed, or the file that could not be written
};

struct RunResult {
    bool completed = false;  // every command completed
    std::vector<CommandResult> commands;
    std::string play_file;     // the file Play plays after the run (may be empty)
    std::string results_page;  // the written results page

    // The command that stopped the run, or null when it completed.
    const CommandResult* failed_command() const;
};

// The name of a numbered output file in html/: "outputS-I" and `ext`.
std::string NumberedOutputName(int stage, int index, const char* ext);
// The extension of the numbered output a template's marks ask for
// (".txt", ".xml" or ".wav", in that order of precedence), or null.
const char* NumberedOutputExtension(int flags);

// The commands of the current templates up to the first one without its done
// mark, with their outputs; `error` goes to that command.
RunResult CollectRunResult(const CTaloriaApp& app, const std::string& error);

// The rows of the results table: one per command, then an output row for a
// command that stores text, XML or audio; a failed command gets the red error
// row in its place and ends the table.
std::string ResultRows(const RunResult& result, const std::string& app_dir);
