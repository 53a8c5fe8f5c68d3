// Option parser, fatal-message routine and ZIRPATH search of speechlib.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zir.h"

const char* zir_progname = "parvox";
int zir_optind = 1;
char* zir_optarg = nullptr;

namespace {

// Next letter to examine inside a grouped word; null when the next call must
// start on a new word.
const char* word_position = nullptr;

// Result of zir_findfile; grows with the longest candidate so that nothing is cut.
std::string found_path;

}  // namespace

void zir_getopt_reset() {
    zir_optind = 1;
    zir_optarg = nullptr;
    word_position = nullptr;
}

int zir_getopt(int argc, char* const argv[], const char* optstring) {
    zir_optarg = nullptr;
    if (zir_optind >= argc) {
        word_position = nullptr;
        return -1;
    }
    if (word_position == nullptr) {
        const char* word = argv[zir_optind];
        // A word that does not start with "-", and "-" alone (standard input
        // to parvox), are operands: the options end before them.
        if (word == nullptr || word[0] != '-' || word[1] == '\0') return -1;
        word_position = word + 1;
    }

    const char c = *word_position;
    if (c == '-') {
        word_position = nullptr;
        ++zir_optind;
        return -1;
    }

    // ':' marks arguments in the option string, so it is never a letter itself.
    const char* entry = c == ':' ? nullptr : std::strchr(optstring, c);
    if (entry == nullptr) {
        std::fprintf(stderr, "illegal option '%c'\n", c);
        word_position = nullptr;
        ++zir_optind;
        return '?';
    }

    if (entry[1] == ':') {
        if (word_position[1] != '\0') {
            zir_optarg = const_cast<char*>(word_position + 1);
        } else if (zir_optind + 1 < argc) {
            ++zir_optind;
            zir_optarg = argv[zir_optind];
        } else {
            // The argument is missing: report it like an unknown letter, and
            // leave no operand behind it.
            std::fprintf(stderr, "option '%c' requires an argument\n", c);
            word_position = nullptr;
            zir_optind = argc;
            return '?';
        }
        word_position = nullptr;
        ++zir_optind;
        return static_cast<unsigned char>(c);
    }

    ++word_position;
    if (*word_position == '\0') {
        word_position = nullptr;
        ++zir_optind;
    }
    // A letter of 0x80 and above is returned as its byte value: as a negative
    // char, 0xFF would read as -1, the end of the options.
    return static_cast<unsigned char>(c);
}

void zir_fatal(const char* format, ...) {
    // Both the message and the shown text "<program>: <message>" are built in
    // 1024-byte buffers, so an overlong message is cut, never overrun: the
    // line written holds at most 1023 bytes before its line end.
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    constexpr std::size_t shown_max_bytes = 1023;
    std::string line = zir_progname != nullptr ? zir_progname : "parvox";
    line += ": ";
    line += message;
    if (line.size() > shown_max_bytes) line.resize(shown_max_bytes);
    // One write call keeps the line whole even when other processes share
    // the same standard error.
    line += '\n';
    std::fflush(stdout);
    std::fflush(stderr);
    zir_write_all(STDERR_FILENO, line.data(), line.size());
    std::exit(1);
}

namespace {

bool is_absolute(const char* name) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (separator(name[0])) return true;
    return name[0] != '\0' && name[1] == ':' && separator(name[2]);
}

}  // namespace

const char* zir_findfile(const char* name) {
    found_path = name != nullptr ? name : "";
    if (name == nullptr) return found_path.c_str();
    const char* zirpath = std::getenv("ZIRPATH");
    if (zirpath == nullptr || is_absolute(name)) return found_path.c_str();

    const char* element = zirpath;
    for (;;) {
        const char* end = std::strchr(element, ';');
        const std::size_t length =
            end != nullptr ? std::size_t(end - element) : std::strlen(element);
        if (length == 1 && element[0] == '.') {
            found_path = name;
        } else {
            found_path.assign(element, length);
            found_path += '/';
            found_path += name;
        }
        if (access(found_path.c_str(), F_OK) == 0) return found_path.c_str();
        if (end == nullptr) break;
        element = end + 1;
    }
    found_path = name;
    return found_path.c_str();
}
