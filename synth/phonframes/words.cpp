// Words and numbers of text lines.
#include "words.h"

#include <cmath>
#include <cstdlib>

std::vector<std::string> split_words(const char* begin, const char* end, char comment) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = begin; p < end; ++p) {
        const char ch = *p;
        if (comment != '\0' && ch == comment) break;
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\v' || ch == '\f') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += ch;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

bool parse_decimal(const std::string& word, double* value) {
    if (word.empty() || word.find_first_not_of("0123456789.+-eE") != std::string::npos)
        return false;
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}
