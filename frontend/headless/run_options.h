// The command line of `taloria2 --run`: which configurations, which text or
// corpus, where the outputs go and how the work is split.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "taloria.h"

namespace headless {

struct RunOptions {
    std::string app_dir;                                 // empty: the current directory
    std::array<std::string, NUM_STAGES> configurations;  // display names of stages 1..3
    std::optional<std::string> text;                     // --text
    std::string input;                                   // --input FILE, "-" for standard input
    bool each_line = false;
    std::string out_dir;  // --out; required with --each-line
    int jobs = 0;         // 0: the number of cores
    int shard_index = 0;  // --shard K/N: items whose number modulo N is K
    int shard_count = 1;
    std::vector<std::string> ask_answers;  // --ask FILE, in order
    bool quiet = false;
};

extern const char kRunUsage[];

// True when the command line asks for a headless run (its first argument is --run).
bool IsRunCommandLine(int argc, char** argv);

// Parses `taloria2 --run ...` into `options`. Returns -1 to go on, 0 after
// --help, 2 after a message for a bad command line.
int ParseRunOptions(int argc, char** argv, RunOptions& options);

}  // namespace headless
