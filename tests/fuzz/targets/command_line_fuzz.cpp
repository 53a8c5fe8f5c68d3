// Fuzz target: the splitting of a stage command line into program arguments,
// split_command_line.
//
// Input: the whole command line.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "stage_command.h"

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// Writes a word so that the splitter gives it back: in double quotes when it
// is empty or holds a blank or a quote, each quote escaped.
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
    std::string out = "\"";
    for (char c : word) {
        if (c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> words = core::split_command_line(line);

    // Quotes only reach a word through the escape \".
    std::size_t quotes = 0;
    for (const std::string& word : words) quotes += count_of(word, "\"");
    fuzz::check(quotes == count_of(line, "\\\""), "a grouping quote is kept in a word");

    // Joining the words again, quoted where needed, gives the same words back.
    // A word that needs quotes and ends in a backslash has no such spelling:
    // the backslash would escape the closing quote.
    std::string joined;
    for (const std::string& word : words) {
        const std::string spelled = quoted(word);
        if (spelled.size() >= 2 && spelled.front() == '"' && word.size() > 0 && word.back() == '\\')
            return 0;
        joined += spelled;
        joined += ' ';
    }
    fuzz::check(core::split_command_line(joined) == words, "words change when joined again");
    return 0;
}
