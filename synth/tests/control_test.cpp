// Tests of control line reading, the squeak remover and the conversion into smoothed controls.
#include "control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "params.h"

namespace {

using fields = std::vector<int>;

fields record(const control_frame &f) {
    fields out;
    for (int i = 0; i < CONTROL_FIELDS; ++i) {
        out.push_back(control_field(f, i));
    }
    return out;
}

control_frame frame_of(const fields &values) {
    control_frame f{};
    for (int i = 0; i < CONTROL_FIELDS; ++i) {
        control_field(f, i) = static_cast<int16_t>(values[i]);
    }
    return f;
}

fields parse(const std::string &line, bool hex) {
    control_frame f{};
    parse_control_line(line.c_str(), hex, &f);
    return record(f);
}

// Reads every frame of `bytes` through a real stream and returns their records.
std::vector<fields> read_all(const std::string &bytes, bool hex = false) {
    reset_control_state();
    hex_controls = hex;
    FILE *stream = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    std::vector<fields> frames;
    while (read_control_frame(stream) && frames.size() < 100000) {
        frames.push_back(record(*current_frame));
    }
    std::fclose(stream);
    hex_controls = false;
    return frames;
}

const fields EXAMPLE = {32, 16, 20, 24, 30, 60, 55, 50, 40, 15, 35, 32};
const char *EXAMPLE_DECIMAL = "120 500 60 1500 55 2500 50 0 40 250 30 60";
const char *EXAMPLE_HEX = "201E103C14371832280F2320";

TEST(parvox_control_line, BothFormsGiveTheSameRecord) {
    EXPECT_EQ(parse(EXAMPLE_DECIMAL, false), EXAMPLE);
    EXPECT_EQ(parse(EXAMPLE_HEX, true), EXAMPLE);
    EXPECT_EQ(parse("201e103c14371832280f2320", true), EXAMPLE);
    EXPECT_EQ(parse("\t120  500\t60 1500 55 2500 50 0 40 250 30 60 \r", false), EXAMPLE);
}

TEST(parvox_control_line, DecimalForm) {
    struct decimal_case {
        std::string line;
        fields expected;
    };
    // Missing values count as 0, which the frequency formulas turn into negative controls.
    const fields empty = {-18, -4, -10, -26, 0, 0, 0, 0, 0, 0, 0, 32};
    const decimal_case cases[] = {
        {"", empty},
        {"0", empty},
        {"100", {-18, -4, -10, -26, 0, 0, 0, 0, 0, 0, 30, 32}},
        {"120 500 60 -5 55", {-18, 16, -10, -26, 0, 60, 0, 0, 0, 0, 35, 32}},
        {"120 500 .5 1500", {-18, 16, -10, -26, 0, 0, 0, 0, 0, 0, 35, 32}},
        {"120 500 60 x 55", {-18, 16, -10, -26, 0, 60, 0, 0, 0, 0, 35, 32}},
        {"120 500 60 1500 55 2500 50 0 40 250 30 60 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 "
         "9",
         EXAMPLE},
        // Values beyond the 16-bit range are limited to it before they are stored.
        {"1e30 1e30 1e30 0 1e300 0 0 0 99999 0 -1 1e999",
         {-18, 32767, -10, -26, 0, 32767, 32767, 0, 32767, 0, 1519, 32}},
        {"120 500 60 1500 55 2500 50 0 40 250 30 1e999",
         {32, 16, 20, 24, 30, 60, 55, 50, 40, 32767, 35, 32}},
        // A truncation toward zero, never a rounding; a hexadecimal prefix is no number here.
        {"1 76 0x40 549", {-18, 0, 0, -26, 0, 0, 0, 0, 0, 0, -75, 32}},
    };
    for (const decimal_case &c : cases) {
        EXPECT_EQ(parse(c.line, false), c.expected) << c.line;
    }
}

TEST(parvox_control_line, HexForm) {
    struct hex_case {
        std::string line;
        fields expected;
    };
    const hex_case cases[] = {
        {"000000000000000000000000", fields(12, 0)},
        {"FFFFFFFFFFFFFFFFFFFFFFFF", fields(12, 255)},
        {"ffffffffffffffffffffffff", fields(12, 255)},
        // Columns: frequency then amplitude for each formant, then high amplitude,
        // voicing, F0 index and pulse shift.
        {"0102030405060708090A0B0C", {1, 3, 5, 7, 2, 4, 6, 8, 9, 10, 11, 12}},
        // A short line: the missing characters are 0.
        {"201E", {32, 0, 0, 0, 30, 0, 0, 0, 0, 0, 0, 0}},
        {"2", {32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"", fields(12, 0)},
        // Characters after the 24th are ignored.
        {std::string(EXAMPLE_HEX) + "FFFF junk", EXAMPLE},
    };
    for (const hex_case &c : cases) {
        EXPECT_EQ(parse(c.line, true), c.expected) << c.line;
    }
}

TEST(parvox_control_stream, CommentsEmptyLinesAndLineEnds) {
    std::vector<fields> frames =
        read_all(std::string("* first comment\n") + EXAMPLE_DECIMAL + "\r\n" + "*between\n\n" +
                 "* " + std::string(1000, 'x') + "\n" + EXAMPLE_DECIMAL);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], EXAMPLE);
    EXPECT_EQ(frames[1][10], 0);  // the empty line is a frame without values
    EXPECT_EQ(frames[2], EXAMPLE);

    EXPECT_EQ(read_all("").size(), 0u);
    EXPECT_EQ(read_all("*only a comment").size(), 0u);
    EXPECT_EQ(read_all("\n\n").size(), 2u);

    std::vector<fields> hex =
        read_all(std::string("*c\n") + EXAMPLE_HEX + "\r\n" + EXAMPLE_HEX, true);
    ASSERT_EQ(hex.size(), 2u);
    EXPECT_EQ(hex[0], EXAMPLE);
    EXPECT_EQ(hex[1], EXAMPLE);
}

TEST(parvox_control_stream, RecordsSwapAtEveryFrame) {
    reset_control_state();
    FILE *stream = std::tmpfile();
    std::fputs("100\n120\n", stream);
    std::rewind(stream);
    ASSERT_TRUE(read_control_frame(stream));
    EXPECT_EQ(current_frame->f0_index, 30);
    EXPECT_EQ(record(*previous_frame), fields(12, 0));  // zeros before the first frame
    ASSERT_TRUE(read_control_frame(stream));
    EXPECT_EQ(current_frame->f0_index, 35);
    EXPECT_EQ(previous_frame->f0_index, 30);
    EXPECT_FALSE(read_control_frame(stream));
    std::fclose(stream);
}

TEST(parvox_control_stream, AnyBytesGiveFramesOrTheEnd) {
    // 0x1A ends the input; the text before it on its line still counts.
    std::vector<fields> frames =
        read_all(std::string(EXAMPLE_DECIMAL) + "\n100\x1a" + "120\n120\n");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1][10], 30);
    EXPECT_EQ(read_all(std::string("\x1a") + EXAMPLE_DECIMAL).size(), 0u);
    EXPECT_EQ(read_all(std::string("*comment \x1a\n") + EXAMPLE_DECIMAL).size(), 0u);

    // A NUL byte ends the line's text like the end of the line.
    frames = read_all(std::string("100\0 999\n120", 12));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0][1], -4);
    EXPECT_EQ(frames[1][10], 35);

    // A line of 100 000 characters is one frame, from its first 255.
    std::string long_line;
    while (long_line.size() < 100000) {
        long_line += "120 ";
    }
    frames = read_all(long_line + "\n" + EXAMPLE_DECIMAL);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], read_all(long_line.substr(0, 255)).at(0));
    EXPECT_EQ(frames.back(), EXAMPLE);
    // A line of exactly 255 characters is one frame, not one and an empty one.
    EXPECT_EQ(read_all(std::string(255, '1') + "\n" + std::string(255, '2') + "\r\n").size(), 2u);

    // Binary garbage in both forms.
    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 7919 + 13) % 256 == 0x1a ? 0 : (i * 7919 + 13) % 256);
    }
    EXPECT_GT(read_all(garbage).size(), 0u);
    for (const fields &f : read_all(garbage, true)) {
        for (int v : f) {
            EXPECT_GE(v, -16 * 48 - 48);
            EXPECT_LE(v, 255 * 16);
        }
    }
}

class parvox_convert : public ::testing::Test {
protected:
    void SetUp() override {
        read_parameters_from(&params, nullptr, nullptr);
        build_tables();
    }
    // Feeds one frame through the squeak remover and the conversion.
    void frame(const fields &values) {
        control_frame *older = previous_frame;
        previous_frame = current_frame;
        current_frame = older;
        *current_frame = frame_of(values);
        remove_squeaks();
        convert_controls();
    }
    const smoothed_controls &c = frame_controls;
};

TEST_F(parvox_convert, SqueakRemoverHoldsTheFrequencyOfADyingFormant) {
    struct squeak_case {
        int amp_before;
        int amp_now;
        bool held;
    };
    const squeak_case cases[] = {
        {50, 22, true},   // a drop of isqthr
        {50, 23, false},  // one less
        {20, 1, true},    // to 1 from above lsqthr
        {19, 1, false},   // to 1 from lsqthr itself
        {1, 1, false},
    };
    for (int field = 4; field <= 7; ++field) {
        for (const squeak_case &s : cases) {
            control_frame before = frame_of(EXAMPLE);
            control_frame now = frame_of(fields{40, 30, 40, 50, 30, 60, 55, 50, 40, 15, 35, 32});
            control_field(before, field) = static_cast<int16_t>(s.amp_before);
            control_field(now, field) = static_cast<int16_t>(s.amp_now);
            remove_squeaks_in(&now, &before, &params);
            for (int i = 0; i < 4; ++i) {
                int expected =
                    (s.held && i == field - 4) ? EXAMPLE[i] : std::vector<int>{40, 30, 40, 50}[i];
                EXPECT_EQ(control_field(now, i), expected)
                    << field << " " << s.amp_before << "->" << s.amp_now;
            }
        }
    }
    // The held value is the previous value of the next frame.
    frame(EXAMPLE);
    frame({40, 30, 40, 50, 30, 20, 55, 50, 40, 15, 35, 32});
    EXPECT_EQ(current_frame->f1_freq, 16);
    frame({40, 30, 40, 50, 30, 20, 55, 50, 40, 15, 35, 32});
    EXPECT_EQ(previous_frame->f1_freq, 16);
}

TEST_F(parvox_convert, FirstFrameClampsAndSettlesOnItsValues) {
    frame(EXAMPLE);
    EXPECT_TRUE(c.formant_clamp);  // compared with the all-zero record
    EXPECT_TRUE(c.pitch_clamp);
    EXPECT_TRUE(c.burst_onset);
    EXPECT_FALSE(c.voicing_onset);  // before the first frame nothing counts as unvoiced
    const int n = params.formant_controls;
    // Branch 0: 500 Hz is grid position 15 * 25/18 + 25/18 + 1.5.
    EXPECT_NEAR(c.branch_freq[0][n - 1], 16 * 25.0 / 18 + 1.5, 1e-3);
    EXPECT_NEAR(c.branch_freq[0][0], 16 * 25.0 / 18 + 1.5, 1e-2);
    EXPECT_NEAR(c.branch_amp[0][n - 1], params.amp_table[60], 1e-5);
    EXPECT_NEAR(c.branch_amp[4][n - 1], params.amp_table[40], 1e-5);
    EXPECT_NEAR(c.branch_amp[5][n - 1], params.amp_table[30], 1e-6);
    // Branches 3..5 keep their frequency unsmoothed.
    EXPECT_FLOAT_EQ(c.branch_freq[3][0], params.freq_base[3]);
    EXPECT_FLOAT_EQ(c.branch_freq[5][0], 31 * params.freq_step[5] + params.freq_base[5]);
    const int m = params.excitation_controls;
    float f0 = params.f0_table[35];
    EXPECT_NEAR(c.pitch_period[m - 1], 1.0f / f0, 1e-6);
    EXPECT_NEAR(c.pulse_length[m - 1], 0.6f / f0, 1e-6);
    // Voicing 15: s = -13.5, so only offsets above 13.5 give voice.
    EXPECT_NEAR(c.voicing_factor[0], std::sqrt(0.25), 1e-6);
    EXPECT_FLOAT_EQ(c.voicing_factor[2], 0.0f);
    EXPECT_NEAR(c.voicing_factor[5], std::sqrt(0.65), 1e-6);
    EXPECT_FALSE(c.all_voiced);
    EXPECT_FALSE(c.all_unvoiced);

    // The same frame again: no jumps, no burst, values stay put.
    frame(EXAMPLE);
    EXPECT_FALSE(c.formant_clamp);
    EXPECT_FALSE(c.pitch_clamp);
    EXPECT_FALSE(c.burst_onset);
    EXPECT_NEAR(c.branch_freq[0][0], 16 * 25.0 / 18 + 1.5, 1e-3);
}

TEST_F(parvox_convert, VoicingFlagsAndBranchFour) {
    struct voicing_case {
        int voicing;
        float factor0;
        bool all_unvoiced;
        bool all_voiced;
        bool branch4_silent;
    };
    const voicing_case cases[] = {
        {0, 0, true, false, false},   {10, 0, false, false, false}, {30, 1, false, false, false},
        {32, 1, false, false, false}, {33, 1, false, false, true},  {64, 1, false, true, true},
    };
    for (const voicing_case &v : cases) {
        SetUp();
        fields values = EXAMPLE;
        values[9] = v.voicing;
        frame(values);
        SCOPED_TRACE(v.voicing);
        EXPECT_NEAR(c.voicing_factor[0], v.factor0, 1e-6);
        EXPECT_EQ(c.all_unvoiced, v.all_unvoiced);
        EXPECT_EQ(c.all_voiced, v.all_voiced);
        EXPECT_EQ(c.branch_amp[4][params.formant_controls - 1] == 0.0f, v.branch4_silent);
    }
    // Onset: a frame that is not all unvoiced after one that is.
    fields unvoiced = EXAMPLE;
    unvoiced[9] = 0;
    frame(unvoiced);
    frame(unvoiced);
    EXPECT_TRUE(c.all_unvoiced);
    EXPECT_TRUE(c.previous_all_unvoiced);
    EXPECT_FALSE(c.voicing_onset);
    frame(EXAMPLE);
    EXPECT_TRUE(c.voicing_onset);
    frame(EXAMPLE);
    EXPECT_FALSE(c.voicing_onset);
}

TEST_F(parvox_convert, JumpsAndBursts) {
    frame(EXAMPLE);
    struct jump_case {
        int field;
        int change;
        bool formant_clamp;
        bool pitch_clamp;
    };
    const jump_case cases[] = {
        {1, 15, false, false}, {1, 16, true, false},  {1, -16, true, false},
        {0, 16, true, false},  {8, 11, false, false}, {8, -12, true, false},
        {9, 50, false, false}, {10, 6, false, false}, {10, -7, false, true},
    };
    for (const jump_case &j : cases) {
        fields values = EXAMPLE;
        values[j.field] += j.change;
        frame(values);
        EXPECT_EQ(c.formant_clamp, j.formant_clamp) << j.field << " " << j.change;
        EXPECT_EQ(c.pitch_clamp, j.pitch_clamp) << j.field << " " << j.change;
        frame(EXAMPLE);
    }
    // A burst needs more than one amplitude rising by iampcl; falls do not count.
    fields quiet = EXAMPLE;
    for (int i = 4; i <= 8; ++i) {
        quiet[i] = 10;
    }
    struct burst_case {
        std::vector<int> rising;
        bool burst;
    };
    const burst_case bursts[] = {{{5}, false}, {{5, 8}, true}, {{4, 6, 7}, true}};
    for (const burst_case &b : bursts) {
        frame(quiet);
        fields loud = quiet;
        for (int i : b.rising) {
            loud[i] = 22;
        }
        frame(loud);
        EXPECT_EQ(c.burst_onset, b.burst) << b.rising.size();
    }
    frame(EXAMPLE);
    frame(quiet);
    EXPECT_FALSE(c.burst_onset);
}

TEST_F(parvox_convert, ValuesOutsideTheTablesAreLimited) {
    fields wild = {-32768, 32767, -32768, 32767, 99, -5, 64, 32767, -32768, 15, 100, -32768};
    frame(wild);
    const int n = params.formant_controls;
    const int m = params.excitation_controls;
    // Frequency positions beyond the grid are kept as they are (the resonator
    // takes the grid's ends), so the smoothers settle on the real positions.
    const float f1_position = 32766.0f * params.freq_step[0] + params.freq_base[0];
    const float f2_position = -32769.0f * params.freq_step[1] + params.freq_base[1];
    EXPECT_NEAR(c.branch_freq[0][n - 1], f1_position, f1_position * 1e-4);
    EXPECT_NEAR(c.branch_freq[1][n - 1], f2_position, -f2_position * 1e-4);
    EXPECT_GT(c.branch_freq[2][n - 1], 2.0f * COS_TABLE_SIZE);
    EXPECT_FLOAT_EQ(c.branch_freq[5][0], -32769.0f * params.freq_step[5] + params.freq_base[5]);
    EXPECT_NEAR(c.branch_amp[5][n - 1], params.amp_table[63], 1e-5);
    EXPECT_NEAR(c.branch_amp[0][n - 1], params.amp_table[0], 1e-6);
    EXPECT_NEAR(c.branch_amp[1][n - 1], params.amp_table[63], 1e-5);
    EXPECT_NEAR(c.branch_amp[3][n - 1], params.amp_table[0], 1e-6);
    // F0 index beyond the table: its last entry; a shifted index below it: the first.
    EXPECT_NEAR(c.pitch_period[m - 1], 1.0f / params.f0_table[63], 1e-6);
    EXPECT_NEAR(c.pulse_length[m - 1], 0.6f / params.f0_table[0], 1e-5);
    for (int j = 0; j < m; ++j) {
        EXPECT_TRUE(std::isfinite(c.pitch_period[j]));
    }

    // A pulse shift halves toward zero: 33 is no shift, 34 one step.
    SetUp();
    fields shifted = EXAMPLE;
    shifted[11] = 33;
    frame(shifted);
    EXPECT_NEAR(c.pulse_length[m - 1], 0.6f / params.f0_table[35], 1e-6);
    SetUp();
    shifted[11] = 34;
    frame(shifted);
    EXPECT_NEAR(c.pulse_length[m - 1], 0.6f / params.f0_table[36], 1e-6);
}

TEST_F(parvox_convert, NasalWidening) {
    struct widening_case {
        int nasal_amp;
        int f1_amp;
        int f1_freq;
        float scaldn;
        float expected;
    };
    // Defaults: aoffdn 4 steps, foffdn (490 - 125) / 25 = 14.6 control units.
    const widening_case cases[] = {
        {40, 20, 20, 100, 16 * 5.4f / 100},
        {24, 20, 30, 100, 0},
        {40, 20, 14, 100, 0},
        {63, 0, 300, 100, 1},
        {40, 20, 20, 0, 1},
        {24, 20, 20, 0, 0},
        {40, 20, 20, -100, 0},
    };
    for (const widening_case &w : cases) {
        SetUp();
        params.scaldn = w.scaldn;
        fields values = EXAMPLE;
        values[4] = w.nasal_amp;
        values[5] = w.f1_amp;
        values[1] = w.f1_freq;
        frame(values);
        EXPECT_NEAR(c.nasal_widening, w.expected, 1e-5)
            << w.nasal_amp << " " << w.f1_freq << " " << w.scaldn;
    }
}

// The smoother computed here from its difference equation, in double precision.
std::vector<double> reference_smooth(const std::vector<double> &x, double a, double b1, double b2) {
    std::vector<double> y;
    double y1 = 0, y2 = 0;
    for (double v : x) {
        double out = a * v + b1 * y1 - b2 * y2;
        y2 = y1;
        y1 = out;
        y.push_back(out);
    }
    return y;
}

TEST(parvox_smoothers, MatchTheirEquationsAcrossBlocks) {
    struct smoother_case {
        void (*run)(smoother_state *, float *, int);
        double a, b1, b2;
    };
    const smoother_case cases[] = {
        {smooth_formant_controls, 0.01036742, 1.796359, 0.8067264},
        {smooth_excitation_controls, 0.005906528, 1.8462921, 0.8521986},
    };
    for (const smoother_case &s : cases) {
        std::vector<double> x(150);
        for (size_t k = 0; k < x.size(); ++k) {
            x[k] = k == 0 ? 1.0 : (k < 60 ? 0.0 : 3.0);
        }
        std::vector<double> expected = reference_smooth(x, s.a, s.b1, s.b2);
        // The same signal as one block and as blocks of 28, 11 and 7.
        for (int block : {150, 28, 11, 7}) {
            smoother_state state{0, 0};
            std::vector<float> values(x.begin(), x.end());
            for (int at = 0; at < 150; at += block) {
                s.run(&state, values.data() + at, std::min(block, 150 - at));
            }
            for (size_t k = 0; k < x.size(); ++k) {
                ASSERT_NEAR(values[k], expected[k], 1e-4) << "block " << block << " sample " << k;
            }
        }
        // Gain 1 at zero frequency: a constant input settles on itself.
        smoother_state state{0, 0};
        std::vector<float> constant(2000, 5.0f);
        s.run(&state, constant.data(), 2000);
        EXPECT_NEAR(constant.back(), 5.0f, 1e-3);
    }
}

TEST_F(parvox_convert, WithoutClampTheSmoothersGlide) {
    frame(EXAMPLE);
    fields higher = EXAMPLE;
    higher[1] += 10;  // below ifrecl: smoothed, not clamped
    frame(higher);
    EXPECT_FALSE(c.formant_clamp);
    float start = 16 * 25.0f / 18 + 1.5f;
    float target = start + 10 * 25.0f / 18;
    const int n = params.formant_controls;
    EXPECT_NEAR(c.branch_freq[0][0], start, 0.2);
    EXPECT_GT(c.branch_freq[0][n - 1], c.branch_freq[0][0]);
    EXPECT_LT(c.branch_freq[0][n - 1], target);
    // With a jump the smoothers are pulled onto the new value at once.
    higher[1] += 16;
    frame(higher);
    EXPECT_TRUE(c.formant_clamp);
    EXPECT_NEAR(c.branch_freq[0][0], target + 16 * 25.0f / 18, 0.01);
}

}  // namespace
