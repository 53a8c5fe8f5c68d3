// Checks parvox's samples against a separate, plain computation of the synthesis equations.
//
// The reference below is written from the equations alone, step by step and
// branch by branch, in single precision: the program must give exactly its
// samples for a fully voiced utterance in which only the first formant (and
// the nasal branch, which gets the first formant's excitation taken away) is
// heard, with the fundamental frequency and the first formant gliding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "control.h"
#include "excitation.h"
#include "params.h"

namespace {

// Built-in parameters.
constexpr int FRAME = 110;      // samples per frame
constexpr int SEGMENT = 4;      // samples per formant control
constexpr int CONTROLS = 28;    // formant controls per frame
constexpr int X_FRAME = 440;    // samples per frame at the excitation rate
constexpr int X_SEGMENT = 40;   // excitation-rate samples per excitation control
constexpr int X_CONTROLS = 11;  // excitation controls per frame
constexpr float X_RATE = 44000.0f;
constexpr int EXPAT[72] = {5,  5,  5,  5,  5,  5,  5,  4,  4,  4,  4,  4,  3,  3,  3,  2,  2,  2,
                           1,  1,  1,  0,  0,  0,  -1, -1, -1, -2, -2, -2, -3, -3, -3, -4, -4, -4,
                           -4, -4, -5, -5, -5, -5, -5, -5, -5, -8, -8, -8, -7, -7, -7, -7, -7, -6,
                           -6, -6, -6, -6, -5, -5, -5, -4, -4, -3, -3, -3, -2, -2, -1, -1, 0,  127};
constexpr int GAPAT[18] = {1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 14, 15, 15, 14, 13, 10, 7, 3};

struct two_pole {
    float y1 = 0, y2 = 0;
    // y[k] = a x[k] + b1 y[k-1] - b2 y[k-2] over the values, in place.
    void run(float *x, int n, float a, float b1, float b2, bool keep) {
        for (int k = 0; k < n; ++k) {
            const float y = a * x[k] + b1 * y1 - b2 * y2;
            y2 = y1;
            y1 = y;
            if (keep) x[k] = y;
        }
    }
};

struct reference_synth {
    float cos_table[256], radius_table[32], f0_table[64], amp_table[64];
    float pulse_shape[72], phase_pattern[18];

    // Smoothers of branch 0 (frequency, amplitude), branch 5 (amplitude), period and pulse length.
    two_pole f1_freq_s, f1_amp_s, nasal_amp_s, period_s, length_s;
    int previous[12] = {};

    // Pulse generator.
    float position = 0, step = 0, gap = 0;
    int point = 0;
    float T = 0.01f, L = 0.007f, d = 0.01f - 0.007f;
    float carry = 0;
    // Source filter.
    float g1 = 0, g2 = 0, h1 = 0, h2 = 0, p1 = 0, p2 = 0, q1 = 0;
    // Resonators of branches 0 and 5, branch 0's fixed filter, the output filter.
    float r0y1 = 0, r0y2 = 0, r5y1 = 0, r5y2 = 0, c1 = 0, c2 = 0;
    float o_p1 = 0, o_p2 = 0, o_q1 = 0, o_q2 = 0, o_y1 = 0;

    reference_synth() {
        for (int k = 0; k < 256; ++k)
            cos_table[k] = float(std::cos(6.2831854 * (100 + 18 * k) / 11000));
        for (int k = 0; k < 32; ++k)
            radius_table[k] = float(std::exp(-3.1415927 * (10 * k) / 11000));
        for (int l = 0; l < 64; ++l) f0_table[l] = float(25 * std::pow(2.0, (l + 1) / 16.0));
        for (int l = 0; l < 64; ++l) amp_table[l] = float(std::pow(10.0, (l - 63) / 20.0));
        amp_table[1] = amp_table[2] = 0;
        for (int i = 0; i < 72; ++i) pulse_shape[i] = float(EXPAT[i]) * 3800.0f / 127.0f;
        for (int i = 0; i < 18; ++i) phase_pattern[i] = float(GAPAT[i]) / 15.0f;
    }

    void take_over(int &cursor, const float *period, const float *length, bool between_pulses) {
        while (cursor < X_CONTROLS && position > float(cursor * X_SEGMENT) + 0.5f) {
            const float B = float(cursor * X_SEGMENT) + 0.5f;
            const float Tn = period[cursor], Ln = length[cursor];
            ++cursor;
            float dn = Tn - Ln;
            while (dn <= 0) dn += Tn;
            const float r = position - B;
            position = between_pulses ? B + r * dn / d : B + r * Ln / L;
            L = Ln;
            T = Tn;
            d = dn;
            step = X_RATE * L / 72;
            gap = X_RATE * d;
        }
    }

    // Pulse generator, samples counted from 1; a share falling on the next
    // frame's first sample is carried there.
    void pulses(const float *period, const float *length, bool onset, float *source, float *phase) {
        if (onset) {
            position = float(X_FRAME / 4);
            point = 0;
            carry = 0;
        }
        source[1] += carry;
        carry = 0;
        int cursor = 0;
        if (position < 1) {
            step = X_RATE * length[0] / 72;
            gap = (period[0] - length[0]) * X_RATE;
        } else {
            take_over(cursor, period, length, point == 0);
        }
        for (;;) {
            int c = int(position - 0.5f) / (4 * SEGMENT);
            for (int k = point; k < 72; ++k) {
                int c2 = int(position - 0.5f) / (4 * SEGMENT);
                if (c < CONTROLS) {
                    if (c2 > CONTROLS - 1) c2 = CONTROLS - 1;
                    for (int j = c; j <= c2; ++j) phase[j] = phase_pattern[k / 4];
                    c = c2;
                }
                const float a = pulse_shape[k];
                const int i = int(position);
                if (i >= X_FRAME + 1) {
                    point = k;
                    position -= X_FRAME;
                    return;
                }
                if (i > 0) source[i] += (float(i + 1) - position) * a;
                if (i + 1 <= X_FRAME)
                    source[i + 1] += (position - float(i)) * a;
                else
                    carry += (position - float(i)) * a;
                position += step;
                take_over(cursor, period, length, point == 0);
            }
            point = 0;
            position += gap;
            take_over(cursor, period, length, true);
        }
    }

    // One frame of the twelve control fields; appends its 16-bit samples.
    void frame(const int *f, std::vector<int16_t> &out) {
        // Conversion: only the fields this utterance uses.
        const float F = f0_table[f[10]];
        const float Lf = 0.6f / f0_table[f[10] + (f[11] - 32) / 2] + 0.0f;
        float f1_freq[CONTROLS], f1_amp[CONTROLS], nasal_amp[CONTROLS];
        const float fi = 1.0f / 18.0f;
        const float f1_base = fi * 125.0f - (fi * 100.0f - 1.5f);
        const float nasal_base = fi * 95.0f - (fi * 100.0f - 1.5f);
        for (int j = 0; j < CONTROLS; ++j) {
            f1_freq[j] = float(f[1] - 1) * (fi * 25.0f) + f1_base;
            f1_amp[j] = amp_table[f[5]];
            nasal_amp[j] = amp_table[f[4]];
        }
        const float nasal_freq = float(f[0] - 1) * (fi * 5.0f) + nasal_base;
        float period[X_CONTROLS], length[X_CONTROLS];
        for (int j = 0; j < X_CONTROLS; ++j) {
            period[j] = 1 / F;
            length[j] = Lf;
        }
        bool formant_clamp = false;
        for (int i = 0; i <= 8; ++i)
            if (std::abs(f[i] - previous[i]) >= (i <= 3 ? 16 : 12)) formant_clamp = true;
        const bool pitch_clamp = std::abs(f[10] - previous[10]) >= 7;
        for (int i = 0; i < 12; ++i) previous[i] = f[i];
        const float fa = 0.01036742f, fb1 = 1.796359f, fb2 = 0.8067264f;
        for (int run = 0; formant_clamp && run < 20; ++run) {
            f1_amp_s.run(f1_amp, CONTROLS, fa, fb1, fb2, false);
            f1_freq_s.run(f1_freq, CONTROLS, fa, fb1, fb2, false);
            nasal_amp_s.run(nasal_amp, CONTROLS, fa, fb1, fb2, false);
        }
        f1_amp_s.run(f1_amp, CONTROLS, fa, fb1, fb2, true);
        f1_freq_s.run(f1_freq, CONTROLS, fa, fb1, fb2, true);
        nasal_amp_s.run(nasal_amp, CONTROLS, fa, fb1, fb2, true);
        const float xa = 0.005906528f, xb1 = 1.8462921f, xb2 = 0.8521986f;
        for (int run = 0; pitch_clamp && run < 20; ++run) {
            period_s.run(period, X_CONTROLS, xa, xb1, xb2, false);
            length_s.run(length, X_CONTROLS, xa, xb1, xb2, false);
        }
        period_s.run(period, X_CONTROLS, xa, xb1, xb2, true);
        length_s.run(length, X_CONTROLS, xa, xb1, xb2, true);

        float source[X_FRAME + 2] = {};
        float phase[CONTROLS] = {};
        pulses(period, length, false, source, phase);
        // Source filter and decimation.
        float voiced[FRAME];
        for (int k = 1; k <= X_FRAME; ++k) {
            const float x = source[k];
            const float g = 0.0109455f * x + 1.5453652f * g1 - 0.9386455f * g2;
            const float h = g - 1.280451f * g1 + g2 + 1.5368902f * h1 - 0.7920242f * h2;
            const float p = h - 0.9188553f * h1 + h2 + 1.5652816f * p1 - 0.643415f * p2;
            const float q = p + 1.4773386f * p1 + p2 + 0.9988583f * q1;
            const float y = q - 0.9126601f * q1;
            g2 = g1, g1 = g, h2 = h1, h1 = h, p2 = p1, p1 = p, q1 = q;
            if (k % 4 == 0) voiced[k / 4 - 1] = y;
        }
        // Branches 0 and 5, fully voiced; branch 5 loses branch 0's excitation.
        float b0[FRAME], b5[FRAME];
        for (int j = 0; j < CONTROLS; ++j) {
            for (int n = j * SEGMENT; n < std::min((j + 1) * SEGMENT, FRAME); ++n) {
                b0[n] = f1_amp[j] * voiced[n];
                b5[n] = nasal_amp[j] * voiced[n] - b0[n];
            }
        }
        auto resonate = [&](float *x, float &y1, float &y2, float bw_step, float bw_base,
                            const float *freq, float gain_g) {
            for (int j = 0; j < CONTROLS; ++j) {
                int kb = int(phase[j] * bw_step + bw_base);
                kb = kb < 1 ? 1 : (kb > 32 ? 32 : kb);
                int kf = int(phase[j] * 0.0f + freq[j]);
                kf = kf < 1 ? 1 : (kf > 256 ? 256 : kf);
                const float r = radius_table[kb - 1], c = cos_table[kf - 1];
                const float A = 2 * r * c, B = -r * r;
                const float gain = (1 - A - B) * gain_g;
                for (int n = j * SEGMENT; n < std::min((j + 1) * SEGMENT, FRAME); ++n) {
                    const float y = gain * x[n] + A * y1 + B * y2;
                    x[n] = y;
                    y2 = y1;
                    y1 = y;
                }
            }
        };
        float nasal_positions[CONTROLS];
        for (float &v : nasal_positions) v = nasal_freq;
        const float bi = 1.0f / 10.0f;
        resonate(b0, r0y1, r0y2, bi * 200.0f, bi * 60.0f - (bi * 0.0f - 1.5f), f1_freq, 28.4f);
        resonate(b5, r5y1, r5y2, bi * 0.0f, bi * 180.0f - (bi * 0.0f - 1.5f), nasal_positions,
                 -28.4f);
        for (int n = 0; n < FRAME; ++n) {
            const float c = 0.3946751f * b0[n] + 0.8570803f * c1;
            const float y0 = c - 1.8605548f * c1 + 0.809496f * c2;
            c2 = c1;
            c1 = c;
            float s = 0.0f + y0;
            s = s + 0.141f * b5[n];
            const float p = 0.18f * s - 1.628239f * o_p1 - 0.9006455f * o_p2;
            const float q = p + 1.9286317f * o_p1 + o_p2 - 1.2842269f * o_q1 - 0.6567826f * o_q2;
            const float y = q + 1.9901074f * o_q1 + o_q2 + 0.6938031f * o_y1;
            o_p2 = o_p1, o_p1 = p, o_q2 = o_q1, o_q1 = q, o_y1 = y;
            EXPECT_LE(std::fabs(y), 8191.0f) << "the utterance must stay within range";
            out.push_back(int16_t(long(y) * 4));
        }
    }
};

std::vector<int16_t> run_program(const std::string &control_text) {
    const std::string dir = testing::TempDir();
    const std::string control = dir + "parvox_reference.ctl";
    const std::string output = dir + "parvox_reference.raw";
    std::ofstream(control, std::ios::binary) << control_text;
    std::remove(output.c_str());
    const std::string command =
        "timeout 30 " + std::string(TALORIA_BIN_DIR) + "/parvox -t -o " + output + " " + control;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(output, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
    std::remove(control.c_str());
    std::remove(output.c_str());
    return samples;
}

TEST(parvox_reference, VoicedFirstFormantMatchesTheEquationsSampleForSample) {
    // Nasal at 290 Hz with no amplitude of its own; first formant at 500 Hz,
    // then gliding up; F0 index 35 (about 119 Hz), then 40, then 33; fully voiced.
    struct step {
        int frames, f1, f0;
    };
    const step steps[] = {{4, 16, 35}, {3, 18, 40}, {5, 19, 33}, {3, 14, 36}};
    std::string text;
    std::vector<int16_t> expected;
    reference_synth ref;
    for (const step &s : steps) {
        for (int i = 0; i < s.frames; ++i) {
            const int f[12] = {40, s.f1, 20, 24, 1, 60, 1, 1, 1, 255, s.f0, 32};
            char line[32];
            // Column order: each frequency followed by its amplitude.
            std::snprintf(line, sizeof line, "%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X\n",
                          f[0], f[4], f[1], f[5], f[2], f[6], f[3], f[7], f[8], f[9], f[10], f[11]);
            text += line;
            ref.frame(f, expected);
        }
    }
    const std::vector<int16_t> actual = run_program(text);
    ASSERT_EQ(actual.size(), expected.size());
    int loud = 0;
    for (size_t n = 0; n < expected.size(); ++n) {
        ASSERT_EQ(actual[n], expected[n]) << "sample " << n;
        if (std::abs(expected[n]) > 400) ++loud;
    }
    EXPECT_GT(loud, 100) << "the utterance is audible speech, not near-silence";
}

// The pulse generator alone, driven with periods and pulse lengths that glide,
// jump up and down (which moves the position back and forth over control
// starts), run past the frame and exceed the period, and with unvoiced gaps:
// the pulse train and the glottal phase must be those of the equations.
TEST(parvox_reference, PulseTrainAndGlottalPhaseMatchTheEquations) {
    synth_params p;
    read_parameters_from(&p, nullptr, nullptr);
    build_tables_for(&p);
    ASSERT_EQ(p.excitation_frame_length, X_FRAME);
    ASSERT_EQ(p.formant_controls, CONTROLS);
    excitation_state e;
    reset_excitation(&e);
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    reference_synth ref;
    uint32_t seed = 11;
    auto next = [&seed](float range) {
        seed = seed * 1664525u + 1013904223u;
        return range * float(seed >> 8) / 16777216.0f;
    };
    float period_s = 0.008f;
    int pulses_laid = 0;
    for (int frame = 0; frame < 3000; ++frame) {
        const bool gap = frame % 37 >= 34;  // a few unvoiced frames now and then
        if (gap) continue;
        const bool onset = frame > 0 && frame % 37 == 0;
        if (frame % 9 == 0) period_s = 0.0025f + next(0.0125f);  // 80 to 400 Hz
        float period[X_CONTROLS], length[X_CONTROLS];
        for (int j = 0; j < X_CONTROLS; ++j) {
            period_s *= 0.97f + next(0.06f);
            period_s = std::min(std::max(period_s, 0.0025f), 0.015f);
            period[j] = period_s;
            // Mostly a share of the period, sometimes longer than it, and
            // sometimes long pulses of a low voice whose length jumps from
            // control to control (so the position is pulled back over the
            // start of a formant control within a pulse).
            length[j] = period_s * (frame % 13 == 5 ? 1.2f + next(0.5f) : 0.3f + next(0.6f));
            if (frame % 7 == 3) {
                period[j] = 0.016f + next(0.004f);
                length[j] = period[j] * (j % 2 == 0 ? 0.9f + next(0.05f) : 0.1f + next(0.89f));
            }
        }
        std::memcpy(c.pitch_period, period, sizeof period);
        std::memcpy(c.pulse_length, length, sizeof length);
        c.voicing_onset = onset;
        std::memset(e.source_buffer, 0, sizeof e.source_buffer);
        std::memset(e.glottal_phase, 0, sizeof e.glottal_phase);
        excite_with(&e, &p, &c);
        float source[X_FRAME + 2] = {};
        float phase[CONTROLS] = {};
        ref.pulses(period, length, onset, source, phase);
        for (int k = 1; k <= X_FRAME; ++k) {
            ASSERT_EQ(e.source_buffer[k], source[k]) << "frame " << frame << " sample " << k;
            if (source[k] != 0.0f) ++pulses_laid;
        }
        for (int j = 0; j < CONTROLS; ++j) {
            ASSERT_EQ(e.glottal_phase[j], phase[j]) << "frame " << frame << " control " << j;
        }
    }
    EXPECT_GT(pulses_laid, 100000);
}

}  // namespace
