// Samples the planned tracks every 10 ms and writes the synthesizer's decimal
// control lines, with a "*" line naming each phoneme before its first frame.
#pragma once

#include <cstdio>
#include <vector>

#include "phonemes.h"
#include "plan.h"

inline constexpr double FRAME_MS = 10;

// Lowest and highest F0 written, the ends of the synthesizer's F0 table.
inline constexpr double MIN_F0_HZ = 27;
inline constexpr double MAX_F0_HZ = 400;
// F0 of an utterance that has no pitch point at all.
inline constexpr double DEFAULT_F0_HZ = 110;

// A pitch point at an absolute time.
struct timed_pitch {
    double time_ms;
    double f0_hz;
};

// The pitch points of all entries on one time axis, in time order.
std::vector<timed_pitch> pitch_contour(const std::vector<phoneme_entry>& entries);

// F0 at a time: straight lines between the points, held before the first and
// after the last.
double f0_at(const std::vector<timed_pitch>& contour, double time_ms);

// Number of frames for a total duration: the frames whose middles fall inside it.
long frame_count(double total_ms);

// One frame's decimal control values: F0, F1, A1, F2, A2, F3, A3, 0, AH, FN, AN, V.
struct frame_values {
    int value[12];
};

// The frame whose middle is `time_ms` inside `phoneme`.
frame_values sample_frame(const planned_phoneme& phoneme, double time_ms, double f0_hz);

// Writes all frames of the utterance; false when writing fails.
bool write_frames(std::FILE* out, const std::vector<phoneme_entry>& entries,
                  const std::vector<planned_phoneme>& plan);
