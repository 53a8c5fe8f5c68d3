// phonframes: turns MBROLA phoneme text into parvox control frames by rule.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frames.h"
#include "phonemes.h"
#include "plan.h"
#include "rules.h"
#include "zir.h"

#ifndef PHONFRAMES_VERSION
#define PHONFRAMES_VERSION "unknown"
#endif

namespace {

constexpr const char* OPTION_LETTERS = "r:o:";
constexpr const char* USAGE = "usage: phonframes [-r rulefile] [-o outfile] [infile|-]";
constexpr const char* RULE_FILE_NAME = "english.rules";

void print_help() {
    std::printf(
        "%s\n\n"
        "Turns MBROLA phoneme text (one phoneme a line: NAME DURATION_MS\n"
        "[POSITION_PERCENT F0_HZ]..., as espeak-ng -v mb-en1 --pho writes it) into\n"
        "parvox control frames, one line per 10 ms, by rule.\n\n"
        "  -r rulefile  the rule table (default: english.rules beside the program,\n"
        "               or ../share/taloria/english.rules from the program's folder)\n"
        "  -o outfile   write the frames there instead of standard output\n"
        "  infile       phoneme text; without it, or with \"-\", standard input\n\n"
        "Example: espeak-ng -v mb-en1 -q --pho \"Hello\" | phonframes | parvox -o hello.wav\n",
        USAGE);
}

// The folder of the running program, or "" when the system cannot say.
std::string program_folder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return "";
    *slash = '\0';
    return path;
}

// The rule file to read when -r is not given: beside the program, else in the
// installed layout's shared data folder.
std::string default_rule_file() {
    const std::string folder = program_folder();
    const std::string beside = folder + "/" + RULE_FILE_NAME;
    if (access(beside.c_str(), R_OK) == 0) return beside;
    const std::string shared = folder + "/../share/taloria/" + RULE_FILE_NAME;
    if (access(shared.c_str(), R_OK) == 0) return shared;
    return beside;
}

// Reads all of a stream; a 0x1A byte ends the text like the end of input.
bool read_all(std::FILE* in, std::string* text) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        const void* stop = std::memchr(buffer, 0x1a, n);
        if (stop != nullptr) {
            text->append(buffer, static_cast<const char*>(stop) - buffer);
            return true;
        }
        text->append(buffer, n);
    }
    return std::ferror(in) == 0;
}

struct options {
    std::string rule_file;
    const char* output_file = nullptr;
    const char* input_file = nullptr;
};

options read_options(int argc, char* argv[]) {
    options chosen;
    int errors = 0;
    for (int letter; (letter = zir_getopt(argc, argv, OPTION_LETTERS)) != -1;) {
        if (letter == 'r') chosen.rule_file = zir_optarg;
        if (letter == 'o') chosen.output_file = zir_optarg;
        if (letter == '?') ++errors;
    }
    if (errors != 0) zir_fatal("%s", USAGE);
    if (zir_optind < argc && std::strcmp(argv[zir_optind], "-") != 0)
        chosen.input_file = argv[zir_optind];
    if (chosen.rule_file.empty()) chosen.rule_file = default_rule_file();
    return chosen;
}

std::vector<phoneme_entry> read_phonemes(const char* input_file) {
    std::FILE* in = stdin;
    if (input_file != nullptr) {
        in = std::fopen(input_file, "rb");
        if (in == nullptr) zir_fatal("cannot open '%s': %s", input_file, std::strerror(errno));
    }
    std::string text;
    if (!read_all(in, &text)) zir_fatal("cannot read '%s'", input_file ? input_file : "-");
    if (in != stdin) std::fclose(in);
    std::vector<std::string> warnings;
    std::vector<phoneme_entry> entries = parse_phoneme_text(text.data(), text.size(), &warnings);
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "phonframes: %s\n", warning.c_str());
    return entries;
}

void warn_unknown_phonemes(const std::vector<phoneme_entry>& entries, const rule_table& table) {
    for (const phoneme_entry& entry : entries) {
        if (find_rule(table, entry.name) == nullptr)
            std::fprintf(stderr, "phonframes: line %d: unknown phoneme '%s', spoken as silence\n",
                         entry.line, entry.name.c_str());
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    zir_progname = "phonframes";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_help();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("phonframes (Taloria %s)\n", PHONFRAMES_VERSION);
        return 0;
    }
    const options chosen = read_options(argc, argv);

    // The rules are checked before anything is read or written, so a broken
    // table never leaves a half-written output behind.
    rule_table table;
    std::string error;
    if (!read_rule_file(chosen.rule_file.c_str(), &table, &error)) zir_fatal("%s", error.c_str());

    const std::vector<phoneme_entry> entries = read_phonemes(chosen.input_file);
    warn_unknown_phonemes(entries, table);
    const std::vector<planned_phoneme> plan = plan_utterance(entries, table);

    std::FILE* out = stdout;
    if (chosen.output_file != nullptr) {
        out = std::fopen(chosen.output_file, "w");
        if (out == nullptr)
            zir_fatal("cannot create '%s': %s", chosen.output_file, std::strerror(errno));
    }
    if (!write_frames(out, entries, plan)) zir_fatal("write error on the output");
    if (out != stdout && std::fclose(out) != 0)
        zir_fatal("write error on '%s'", chosen.output_file);
    return 0;
}
