// Frames from phonemes: timing over long inputs, F0 across phonemes, the
// boundaries of a vowel-stop-vowel sequence, the parts of a stop, and every
// phoneme of the shipped table inside the synthesizer's ranges.
#include "frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "phonemes.h"
#include "plan.h"
#include "rules.h"

namespace {

// A small table with round numbers, so that tests can predict the tracks.
const char* const TEST_RULES = R"(
defaults silence
  rank 30
  boundary formants=0:1 FN=0:1 V=0:1 amplitudes=0:0
  transition all=0:0
defaults vowel
  rank 2
  boundary all=mean
  transition all=20:20
defaults stop
  rank 28
  boundary A1=0:0.5 A2=0:1 A3=0:1 AH=0:1 AN=0:0 V=0:1 FN=0:1
  transition formants=10:40 amplitudes=0:20 V=0:0 FN=0:0
phoneme _ silence
  target F1=* F2=* F3=* A1=0 A2=0 A3=0 AH=0 FN=* AN=0 V=0
phoneme a vowel
  target F1=700 F2=1200 F3=2500 A1=60 A2=54 A3=44 AH=30 FN=250 AN=0 V=255
phoneme i vowel
  target F1=300 F2=2200 F3=2900 A1=56 A2=46 A3=48 AH=30 FN=250 AN=0 V=255
phoneme aI diphthong
  target F1=700 F2=1250 F3=2500 A1=60 A2=55 A3=42 AH=28 FN=250 AN=0 V=255
  second F1=380 F2=2000 F3=2600
phoneme t stop
  target F1=250 F2=1700 F3=2600 A1=0 A2=0 A3=0 AH=0 FN=250 AN=0 V=0
  boundary F1=200:0 F2=1000:0.5 F3=2000:0.25
  burst ms=10 A2=30 A3=46 AH=54
  aspiration ms=40 A1=20 A2=44 A3=46 AH=40
)";

rule_table test_table() {
    rule_table table;
    std::string error;
    EXPECT_TRUE(parse_rule_text(TEST_RULES, std::strlen(TEST_RULES), "test", &table, &error))
        << error;
    return table;
}

struct output_line {
    bool comment;
    std::string text;
    std::vector<int> values;
};

// Runs the whole conversion into memory and splits the output into lines.
std::vector<output_line> convert(const std::string& phonemes, const rule_table& table) {
    std::vector<std::string> warnings;
    const auto entries = parse_phoneme_text(phonemes.data(), phonemes.size(), &warnings);
    const auto plan = plan_utterance(entries, table);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    EXPECT_TRUE(write_frames(out, entries, plan));
    std::fclose(out);
    std::vector<output_line> lines;
    std::istringstream in(std::string(buffer, size));
    std::free(buffer);
    for (std::string text; std::getline(in, text);) {
        output_line line{!text.empty() && text[0] == '*', text, {}};
        std::istringstream fields(text);
        for (int v; !line.comment && fields >> v;) line.values.push_back(v);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::vector<int>> frames_of(const std::vector<output_line>& lines) {
    std::vector<std::vector<int>> frames;
    for (const output_line& line : lines)
        if (!line.comment) frames.push_back(line.values);
    return frames;
}

// Columns of a decimal control line.
enum {
    COL_F0,
    COL_F1,
    COL_A1,
    COL_F2,
    COL_A2,
    COL_F3,
    COL_A3,
    COL_UNUSED,
    COL_AH,
    COL_FN,
    COL_AN,
    COL_V
};

TEST(PhonframesTiming, TenMinutesStayAlignedWithThePhonemes) {
    const rule_table table = test_table();
    std::mt19937 random(7);
    std::uniform_int_distribution<int> length(1, 250);
    std::string text;
    std::vector<double> starts;
    double total = 0;
    const char* names[] = {"a", "t", "i", "_"};
    for (int n = 0; total < 600000; ++n) {
        // Durations with fractions, as hand-made input may have.
        const double ms = length(random) + (n % 3) * 0.25;
        text += std::string(names[n % 4]) + " " + std::to_string(ms) + "\n";
        starts.push_back(total);
        total += ms;
    }
    const auto lines = convert(text, table);
    long frame = 0;
    std::size_t phoneme = 0;
    for (const output_line& line : lines) {
        if (!line.comment) {
            ++frame;
            continue;
        }
        // Each comment stands before the first frame of its phoneme, which
        // starts within one frame of the phoneme's own start.
        ASSERT_LT(phoneme, starts.size());
        EXPECT_LE(std::fabs(frame * 10.0 - starts[phoneme]), 10.0) << line.text;
        ++phoneme;
    }
    EXPECT_EQ(phoneme, starts.size());
    EXPECT_EQ(frame, std::lround(std::floor(total / 10 + 0.5 - 1e-9)));
}

TEST(PhonframesTiming, CommentNamesPhonemeAndDuration) {
    const auto lines = convert("_ 20\ns 100\n", test_table());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "* _ 20 ms");
    EXPECT_EQ(lines[3].text, "* s 100 ms");
    EXPECT_EQ(frames_of(lines).size(), 12u);
}

TEST(PhonframesPitch, InterpolatesAcrossPhonemesWithoutSteps) {
    // The pitch points at 50 ms (100 Hz) and 250 ms (200 Hz) enclose an
    // unvoiced stop that has none of its own.
    const auto frames = frames_of(convert("a 100 50 100\nt 100\na 100 50 200\n", test_table()));
    ASSERT_EQ(frames.size(), 30u);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const double t = k * 10.0 + 5;
        const double expected = t <= 50 ? 100 : t >= 250 ? 200 : 100 + (t - 50) / 2;
        EXPECT_NEAR(frames[k][COL_F0], expected, 0.5) << "frame " << k;
    }
}

TEST(PhonframesPitch, PointsInTimeOrderAndHeldAtTheEnds) {
    const std::vector<timed_pitch> contour = pitch_contour(
        {{"a", 100, {{80, 150}, {20, 120}}, 1}, {"b", 50, {}, 2}, {"c", 100, {{0, 90}}, 3}});
    ASSERT_EQ(contour.size(), 3u);
    EXPECT_EQ(contour[0].time_ms, 20);
    EXPECT_EQ(contour[2].time_ms, 150);
    EXPECT_EQ(f0_at(contour, 0), 120);
    EXPECT_EQ(f0_at(contour, 115), 120);  // halfway from 150 Hz at 80 ms to 90 Hz at 150 ms
    EXPECT_EQ(f0_at(contour, 400), 90);
    EXPECT_EQ(f0_at({}, 10), DEFAULT_F0_HZ);
}

TEST(PhonframesBoundaries, VowelStopVowelMeetsTheLoci) {
    const rule_table table = test_table();
    const std::vector<phoneme_entry> entries = {
        {"a", 200, {}, 1}, {"t", 100, {}, 2}, {"i", 200, {}, 3}};
    const auto plan = plan_utterance(entries, table);
    // The stop ranks higher: boundary F2 = 1000 + 0.5 x the vowel's target.
    const double into_stop = 1000 + 0.5 * 1200;
    const double out_of_stop = 1000 + 0.5 * 2200;
    EXPECT_NEAR(track_value(plan[0], CTL_F2, 200), into_stop, 1e-9);
    EXPECT_NEAR(track_value(plan[0], CTL_F2, 160), 1200, 1e-9);  // transition: last 40 ms
    EXPECT_NEAR(track_value(plan[0], CTL_F2, 180), (1200 + into_stop) / 2, 1e-9);
    EXPECT_NEAR(track_value(plan[0], CTL_F2, 100), 1200, 1e-9);
    // After the aspiration (40 ms) the transition is part of the way to the
    // vowel, and reaches it 40 ms into the vowel.
    const double after_aspiration = out_of_stop + (2200 - out_of_stop) * 40 / 80;
    EXPECT_NEAR(track_value(plan[2], CTL_F2, 0), after_aspiration, 1e-9);
    EXPECT_NEAR(track_value(plan[2], CTL_F2, 40), 2200, 1e-9);
    EXPECT_NEAR(track_value(plan[1], CTL_F2, 50), out_of_stop, 1e-9);  // during the release
    // Amplitudes: the vowel falls to its boundary value, the closure is silent.
    EXPECT_NEAR(track_value(plan[0], CTL_A1, 200), 30, 1e-9);
    EXPECT_NEAR(track_value(plan[1], CTL_A1, 5), 0, 1e-9);
    EXPECT_NEAR(track_value(plan[2], CTL_A1, 0), 28, 1e-9);
    EXPECT_NEAR(track_value(plan[2], CTL_A1, 20), 56, 1e-9);
}

TEST(PhonframesBoundaries, ShortPhonemesShareTheirTransitions) {
    const rule_table table = test_table();
    // 30 ms of vowel between two stops: 40 + 40 ms of transitions shrink to fit,
    // and the track never leaves the range between the loci and the target.
    const auto plan =
        plan_utterance({{"t", 100, {}, 1}, {"a", 30, {}, 2}, {"t", 100, {}, 3}}, table);
    for (double t = 0; t <= 30; t += 1) {
        const double f2 = track_value(plan[1], CTL_F2, t);
        EXPECT_GE(f2, 1200 - 1e-9);
        EXPECT_LE(f2, 1600 + 1e-9);
    }
}

TEST(PhonframesBoundaries, ShortDiphthongGlidesWithoutJumps) {
    // 60 ms of diphthong between stops whose transitions alone would fill it:
    // the glide keeps half the duration, so F2 never moves faster than the
    // glide from 1250 to 2000 Hz over 30 ms.
    const rule_table table = test_table();
    const auto plan =
        plan_utterance({{"t", 100, {}, 1}, {"aI", 60, {}, 2}, {"t", 100, {}, 3}}, table);
    double previous = track_value(plan[1], CTL_F2, 0);
    for (double t = 1; t <= 60; t += 1) {
        const double f2 = track_value(plan[1], CTL_F2, t);
        EXPECT_LE(std::fabs(f2 - previous), 750.0 / 30 + 1e-9) << t;
        previous = f2;
    }
    EXPECT_LT(track_value(plan[1], CTL_F2, 15), 1600);
    EXPECT_GT(track_value(plan[1], CTL_F2, 45), 1750);
}

TEST(PhonframesStop, ClosureBurstAspirationThenVoicing) {
    // 100 ms of t before a long vowel: 50 ms closure, 10 ms burst, 40 ms aspiration.
    const auto frames = frames_of(convert("_ 100\nt 100\na 200\n", test_table()));
    ASSERT_EQ(frames.size(), 40u);
    for (int k = 10; k < 15; ++k) {
        EXPECT_EQ(frames[k][COL_A2], 0) << k;
        EXPECT_EQ(frames[k][COL_AH], 0) << k;
        EXPECT_EQ(frames[k][COL_V], 0) << k;
    }
    EXPECT_EQ(frames[15][COL_AH], 54);  // the burst
    EXPECT_EQ(frames[15][COL_A3], 46);
    for (int k = 16; k < 20; ++k) {  // aspiration: noise through the formants
        EXPECT_EQ(frames[k][COL_A2], 44) << k;
        EXPECT_EQ(frames[k][COL_V], 0) << k;
    }
    EXPECT_EQ(frames[20][COL_V], 255);  // the vowel is voiced from its start
}

TEST(PhonframesStop, NoAspirationAfterAFricativeOrBeforeSilence) {
    rule_table table = test_table();
    std::string error;
    const std::string more = std::string(TEST_RULES) +
                             "defaults fricative\n  rank 20\nphoneme s fricative\n"
                             "  target F1=300 F2=1400 F3=2600 A1=0 A2=0 A3=38 AH=58 FN=250 "
                             "AN=0 V=0\n";
    ASSERT_TRUE(parse_rule_text(more.data(), more.size(), "t", &table, &error)) << error;
    const auto plan = plan_utterance(
        {{"s", 100, {}, 1}, {"t", 100, {}, 2}, {"a", 100, {}, 3}, {"t", 100, {}, 4}}, table);
    EXPECT_EQ(plan[1].aspiration_ms, 0);
    EXPECT_EQ(plan[3].aspiration_ms, 0);
    EXPECT_EQ(plan[3].burst_ms, 10);
    EXPECT_EQ(plan[3].release_ms, 90);
}

TEST(PhonframesBadInput, UnknownPhonemeIsSilenceAndMalformedLinesAreSkipped) {
    std::vector<std::string> warnings;
    const std::string text =
        "; comment\r\n\r\na 100 0 120\r\nq 50\nb -3\nc\nd 10 50\ne 10 x 100\nf 10 150 100\n"
        "g 90000\n\x1a"
        "h 100\n";
    const auto entries = parse_phoneme_text(text.data(), text.size(), &warnings);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].pitch.size(), 1u);
    EXPECT_EQ(entries[1].name, "q");
    EXPECT_EQ(entries[2].duration_ms, MAX_PHONEME_MS);
    ASSERT_EQ(warnings.size(), 6u);
    EXPECT_EQ(warnings[0], "line 5: bad duration '-3' for 'b', line skipped");
    EXPECT_EQ(warnings[1], "line 6: no duration for 'c', line skipped");
    EXPECT_NE(warnings[5].find("line 10: duration of 'g' limited"), std::string::npos);
    // The unknown "q" is spoken as silence for its 50 ms.
    const auto frames = frames_of(convert("a 100\nq 50\na 100\n", test_table()));
    ASSERT_EQ(frames.size(), 25u);
    EXPECT_EQ(frames[12][COL_A1], 0);
    EXPECT_EQ(frames[12][COL_V], 0);
}

// The synthesizer reads a decimal line into table indices; every one must
// fall inside its table with the default parameters.
void expect_inside_synthesizer_ranges(const std::vector<int>& f, const std::string& where) {
    ASSERT_EQ(f.size(), 12u) << where;
    const int f0_index = int(std::log(double(f[COL_F0])) * 23.09 - 75.37);
    EXPECT_TRUE(f0_index >= 0 && f0_index <= 63) << where << " F0 " << f[COL_F0];
    for (int col : {COL_A1, COL_A2, COL_A3, COL_AH, COL_AN})
        EXPECT_TRUE(f[col] >= 0 && f[col] <= 63) << where << " column " << col;
    EXPECT_TRUE(f[COL_V] >= 0 && f[COL_V] <= 255) << where;
    // Frequency controls: from the branch's first step to the end of the
    // resonator grid (4690 Hz).
    EXPECT_TRUE(f[COL_F1] >= 125 && f[COL_F1] <= 4690) << where;
    EXPECT_TRUE(f[COL_F2] >= 550 && f[COL_F2] <= 4690) << where;
    EXPECT_TRUE(f[COL_F3] >= 1350 && f[COL_F3] <= 4690) << where;
    EXPECT_TRUE(f[COL_FN] >= 95 && f[COL_FN] <= 4690) << where;
}

TEST(PhonframesShippedTable, EveryPhonemeInEveryNeighbourhoodStaysInRange) {
    rule_table table;
    std::string error;
    ASSERT_TRUE(
        read_rule_file(TALORIA_SOURCE_DIR "/frontend/appdata/config/english.rules", &table, &error))
        << error;
    // Each phoneme between vowels, stops, fricatives and silence, with F0
    // from the lowest to the highest a voice may ask for.
    for (const phoneme_rule& rule : table.rules) {
        for (const char* neighbour : {"_", "A:", "i:", "t", "s", "m", "aI", "h"}) {
            const std::string text = std::string(neighbour) + " 80 50 20\n" + rule.name +
                                     " 90 0 500 100 60\n" + neighbour + " 70\n" + rule.name +
                                     " 30\n";
            for (const std::vector<int>& frame : frames_of(convert(text, table)))
                expect_inside_synthesizer_ranges(frame, rule.name + " by " + neighbour);
        }
    }
}

}  // namespace
