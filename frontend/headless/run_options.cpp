// Parsing of the headless run's command line.
#include "run_options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace headless {

const char kRunUsage[] =
    "Usage: taloria2 --run [--appdir DIR] --stage1 NAME --stage2 NAME --stage3 NAME\n"
    "                [--text TEXT | --input FILE|-] [--each-line] [--out DIR]\n"
    "                [--jobs N] [--shard K/N] [--ask FILE]... [--quiet]\n"
    "Runs the three stages without the browser, as the run button of the input page does.\n"
    "\n"
    "  --appdir DIR   the app directory (config/, html/); default: the current directory.\n"
    "                 Commands run there; --input and --out are taken from where you are\n"
    "  --stageN NAME  the configuration of stage N by its display name (\"\" for none)\n"
    "  --text TEXT    the text to run\n"
    "  --input FILE   the text from FILE (\"-\": standard input); default: standard input\n"
    "  --each-line    every non-empty line is one item, run in a work directory of its own;\n"
    "                 item N's outputs go to DIR/NNNNN/ and a line to DIR/manifest.jsonl.\n"
    "                 Items already complete in DIR are skipped (resume).\n"
    "  --out DIR      where --each-line writes (required with it); without --each-line the\n"
    "                 run's output files are also copied into DIR\n"
    "  --jobs N       items run at once (default: the number of cores)\n"
    "  --shard K/N    only the items whose line number modulo N is K (0 <= K < N)\n"
    "  --ask FILE     the answer to the next $ASK( word of the configurations\n"
    "  --quiet        no progress on standard error\n"
    "  --help         show this help and exit\n"
    "\n"
    "Exit status: 0 when every command completed, 1 after a failure, 2 for a bad command\n"
    "line, 130 after Ctrl+C (running commands are stopped, the manifest is finished).\n";

namespace {

int Bad(const std::string& message) {
    std::fprintf(stderr, "taloria2: %s\nTry 'taloria2 --run --help'.\n", message.c_str());
    return 2;
}

// A whole positive number, or -1.
long PositiveNumber(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value <= 0 || value > 100000) return -1;
    return value;
}

bool ParseShard(const std::string& text, RunOptions& options) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const long count = PositiveNumber(text.substr(slash + 1));
    const std::string index_text = text.substr(0, slash);
    const long index = index_text == "0" ? 0 : PositiveNumber(index_text);
    if (count < 0 || index < 0 || index >= count) return false;
    options.shard_index = static_cast<int>(index);
    options.shard_count = static_cast<int>(count);
    return true;
}

using ValueSetter = std::function<bool(RunOptions&, const std::string&)>;

// The options that take a value; each setter returns false for a bad value.
const std::map<std::string, ValueSetter>& ValueOptions() {
    static const std::map<std::string, ValueSetter> options = {
        {"--appdir", [](RunOptions& o, const std::string& v) { return o.app_dir = v, true; }},
        {"--stage1",
         [](RunOptions& o, const std::string& v) { return o.configurations[0] = v, true; }},
        {"--stage2",
         [](RunOptions& o, const std::string& v) { return o.configurations[1] = v, true; }},
        {"--stage3",
         [](RunOptions& o, const std::string& v) { return o.configurations[2] = v, true; }},
        {"--text", [](RunOptions& o, const std::string& v) { return o.text = v, true; }},
        {"--input", [](RunOptions& o, const std::string& v) { return o.input = v, true; }},
        {"--out", [](RunOptions& o, const std::string& v) { return o.out_dir = v, !v.empty(); }},
        {"--ask",
         [](RunOptions& o, const std::string& v) { return o.ask_answers.push_back(v), true; }},
        {"--shard", [](RunOptions& o, const std::string& v) { return ParseShard(v, o); }},
        {"--jobs",
         [](RunOptions& o, const std::string& v) {
             const long jobs = PositiveNumber(v);
             o.jobs = static_cast<int>(jobs);
             return jobs > 0;
         }},
    };
    return options;
}

// The checks between options, after all were read.
int CheckTogether(const RunOptions& options, const bool given[NUM_STAGES]) {
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        if (!given[stage]) return Bad("--stage" + std::to_string(stage + 1) + " is missing");
    }
    if (options.text && !options.input.empty()) return Bad("give --text or --input, not both");
    if (options.each_line && options.out_dir.empty()) return Bad("--each-line needs --out DIR");
    if (!options.each_line && (options.shard_count > 1 || options.jobs > 0)) {
        return Bad("--jobs and --shard need --each-line");
    }
    return -1;
}

}  // namespace

bool IsRunCommandLine(int argc, char** argv) {
    return argc > 1 && std::strcmp(argv[1], "--run") == 0;
}

int ParseRunOptions(int argc, char** argv, RunOptions& options) {
    bool given[NUM_STAGES] = {false, false, false};
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kRunUsage, stdout);
            return 0;
        } else if (arg == "--each-line") {
            options.each_line = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (auto it = ValueOptions().find(arg); it != ValueOptions().end()) {
            if (i + 1 >= argc) return Bad(arg + " needs a value");
            const std::string value = argv[++i];
            if (!it->second(options, value))
                return Bad("bad value for " + arg + ": '" + value + "'");
            if (arg.compare(0, 7, "--stage") == 0) given[arg[7] - '1'] = true;
        } else {
            return Bad("unknown option for --run: '" + arg + "'");
        }
    }
    return CheckTogether(options, given);
}

}  // namespace headless
