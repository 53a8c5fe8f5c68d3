// Fuzz target: the option parser of parvox, zir_getopt, over any argument vector.
//
// Input: the option letters up to the first line feed, then the words of the
// argument vector separated by NUL bytes (the program name comes first).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zir.h"

namespace {

constexpr std::size_t kMaxWords = 64;

// True when `p` points into one of the words (their terminating NUL included).
bool points_into_words(const char* p, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (p >= word.data() && p <= word.data() + word.size()) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* line_end = static_cast<const char*>(std::memchr(text, '\n', size));
    if (line_end == nullptr) return 0;
    // The option string is a C string: a NUL inside it ends it.
    const std::string optstring(text, line_end);

    std::vector<std::string> words;
    const char* rest = line_end + 1;
    const char* end = text + size;
    while (rest <= end && words.size() < kMaxWords) {
        const char* nul = static_cast<const char*>(std::memchr(rest, '\0', end - rest));
        const char* word_end = nul != nullptr ? nul : end;
        words.emplace_back(rest, word_end);
        rest = word_end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    zir_getopt_reset();
    std::size_t letters = 0;
    for (const std::string& word : words) letters += word.size() + 1;
    // Every call consumes a letter or a word, so more calls than that mean
    // the parser stopped making progress.
    for (std::size_t calls = 0;; ++calls) {
        fuzz::check(calls <= letters + 1, "zir_getopt does not end");
        const int letter = zir_getopt(argc, argv.data(), optstring.c_str());
        fuzz::check(zir_optind >= 1 && zir_optind <= argc + 1, "zir_optind out of range");
        if (letter == -1) {
            fuzz::check(zir_optind <= argc || argc == 0, "operand index past the vector");
            break;
        }
        if (letter != '?') {
            fuzz::check(
                letter > 0 && letter != ':' && std::strchr(optstring.c_str(), letter) != nullptr,
                "letter not in the option string");
        }
        if (zir_optarg != nullptr) {
            fuzz::check(points_into_words(zir_optarg, words), "option argument outside argv");
        }
    }
    return 0;
}
