// Reads MBROLA phoneme lines into entries, skipping what cannot be read.
#include "phonemes.h"

#include <cstdio>

#include "words.h"

namespace {

std::string line_warning(int line, const std::string& text) {
    return "line " + std::to_string(line) + ": " + text;
}

// Reads the tokens of one line; false (with a warning) when it is malformed.
bool read_entry(const std::vector<std::string>& tokens, int line, phoneme_entry* entry,
                std::vector<std::string>* warnings) {
    entry->name = tokens[0];
    entry->line = line;
    if (tokens.size() < 2) {
        warnings->push_back(
            line_warning(line, "no duration for '" + tokens[0] + "', line skipped"));
        return false;
    }
    if (!parse_decimal(tokens[1], &entry->duration_ms) || entry->duration_ms < 0) {
        warnings->push_back(line_warning(
            line, "bad duration '" + tokens[1] + "' for '" + tokens[0] + "', line skipped"));
        return false;
    }
    if (tokens.size() % 2 != 0) {
        warnings->push_back(line_warning(line, "pitch point without frequency, line skipped"));
        return false;
    }
    for (std::size_t i = 2; i + 1 < tokens.size(); i += 2) {
        pitch_point point{};
        if (!parse_decimal(tokens[i], &point.position_percent) ||
            !parse_decimal(tokens[i + 1], &point.f0_hz) || point.position_percent < 0 ||
            point.position_percent > 100 || point.f0_hz <= 0) {
            warnings->push_back(line_warning(line, "unreadable pitch point '" + tokens[i] + " " +
                                                       tokens[i + 1] + "', line skipped"));
            return false;
        }
        entry->pitch.push_back(point);
    }
    if (entry->duration_ms > MAX_PHONEME_MS) {
        char text[96];
        std::snprintf(text, sizeof text, "duration of '%.20s' limited to %.0f ms",
                      entry->name.c_str(), MAX_PHONEME_MS);
        warnings->push_back(line_warning(line, text));
        entry->duration_ms = MAX_PHONEME_MS;
    }
    return true;
}

}  // namespace

std::vector<phoneme_entry> parse_phoneme_text(const char* text, std::size_t length,
                                              std::vector<std::string>* warnings) {
    std::vector<phoneme_entry> entries;
    int line = 0;
    std::size_t pos = 0;
    while (pos < length && text[pos] != '\x1a') {
        std::size_t end = pos;
        while (end < length && text[end] != '\n' && text[end] != '\x1a') ++end;
        ++line;
        const std::vector<std::string> tokens = split_words(text + pos, text + end);
        pos = end < length && text[end] == '\n' ? end + 1 : end;
        if (tokens.empty() || tokens[0][0] == ';') continue;
        phoneme_entry entry;
        if (read_entry(tokens, line, &entry, warnings)) entries.push_back(std::move(entry));
    }
    return entries;
}
