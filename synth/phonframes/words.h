// Splitting text lines into words and reading numbers, shared by the readers
// of phoneme text and of the rule file.
#pragma once

#include <string>
#include <vector>

// Splits [begin, end) at blanks, tabs, carriage returns, vertical tabs and
// form feeds. When `comment` is not '\0', it ends the line's words.
std::vector<std::string> split_words(const char* begin, const char* end, char comment = '\0');

// Reads a whole word as a finite decimal number ("12", "-3.5", "1e3"); hexadecimal,
// "inf", "nan" and anything with other letters are refused.
bool parse_decimal(const std::string& word, double* value);
