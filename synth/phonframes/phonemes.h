// Reads MBROLA phoneme text: "NAME DURATION_MS [POSITION_PERCENT F0_HZ]..." a
// line, ";" comments, blank lines; a 0x1A byte ends the text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct pitch_point {
    double position_percent;
    double f0_hz;
};

struct phoneme_entry {
    std::string name;
    double duration_ms;
    std::vector<pitch_point> pitch;
    int line;  // line of the input, for warnings
};

// Longest duration taken for one phoneme; longer ones are limited to it.
inline constexpr double MAX_PHONEME_MS = 60000;

// Parses phoneme text. Malformed lines are skipped and over-long durations
// limited; each such line adds a warning "line N: ..." to `warnings`.
std::vector<phoneme_entry> parse_phoneme_text(const char* text, std::size_t length,
                                              std::vector<std::string>* warnings);
