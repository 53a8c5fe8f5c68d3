// The excitation source: glottal pulse train with its source filter, noise, and per-branch mixing.
#pragma once

#include <cstdint>

#include "control.h"
#include "params.h"

// Fixed-seed generator of uniform 15-bit values (0 .. 32767). Every run draws
// the same sequence, so synthesized noise is reproducible.
struct noise_generator {
    uint32_t state;
};
constexpr uint32_t NOISE_SEED = 1;
int noise_next(noise_generator *g);
// The sum of the next twelve values, exactly as twelve noise_next calls give it.
int noise_sum12(noise_generator *g);

// Low-pass and tilt filter of the voice source at the excitation rate, four
// sections in cascade; seven history values carried across frames.
struct source_filter {
    float g1, g2;  // section 1 outputs
    float h1, h2;  // section 2 outputs
    float p1, p2;  // section 3 outputs
    float q1;      // section 4 pole output
};
void source_filter_process(source_filter *f, float *samples, int n);

// Coefficients of the source filter, named once for the plain form and the
// lanes below:
//   g = SOURCE_INPUT_GAIN x + G1 g1 - G2 g2
//   h = g - H_G1 g1 + g2 + H1 h1 - H2 h2
//   p = h - P_H1 h1 + h2 + P1 p1 - P2 p2
//   q = p + Q_P1 p1 + p2 + Q1 q1
//   output = q - SOURCE_OUTPUT_POLE q1
constexpr float SOURCE_INPUT_GAIN = 0.0109455f;
constexpr float SOURCE_OUTPUT_POLE = 0.9126601f;
namespace source_section {
constexpr float G1 = 1.5453652f, G2 = 0.9386455f;
constexpr float H_G1 = 1.280451f, H1 = 1.5368902f, H2 = 0.7920242f;
constexpr float P_H1 = 0.9188553f, P1 = 1.5652816f, P2 = 0.643415f;
constexpr float Q_P1 = 1.4773386f, Q1 = 0.9988583f;
}  // namespace source_section

// The four sections of the source filter side by side in the lanes of one
// vector, each section SECTION_SKEW samples behind the one before it: at step
// s lane i works on sample s - SECTION_SKEW * i, taking as its input what lane
// i - 1 gave SECTION_SKEW steps before (so that result is long finished; with
// a skew of one sample every step would wait for the step before). Each lane
// computes its section in one form,
//   y = (((x + a x1) + b x2) + c y1) + d y2,
// with coefficients chosen so that it performs its own equation's products
// and sums in the equation's order: a difference is the sum of the negated
// product, the term with b = 1 adds the value itself, and the terms that the
// equation lacks add zeros (section 1's input history is always zero, section
// 4 has d = 0), which changes no value but at most a zero's sign.
// So every section output, and every kept sample, is bit for bit that of
// source_filter_process one sample after the other.
typedef float section_lanes __attribute__((vector_size(4 * sizeof(float))));
typedef int32_t section_masks __attribute__((vector_size(4 * sizeof(int32_t))));
constexpr int SECTION_SKEW = 4;
constexpr int PIPELINE_DELAY = 3 * SECTION_SKEW;  // steps from lane 0 to lane 3

// The pipeline over one run of samples (or zeros), giving every fourth
// output (samples 4, 8, ... counted from 1) as it comes.
struct source_pipeline {
    section_lanes x1, x2, y1, y2;  // each lane's last two inputs and outputs
    // ring[s % SECTION_SKEW]: y1 as it was after step s - SECTION_SKEW.
    section_lanes ring[SECTION_SKEW];
    const float *samples;  // null: n zeros
    int n;
    int step;
};

// One step of every lane; lanes whose mask is 0 keep their state. Sets lane
// 3's new q in *q and its q before it in *q_before.
template <bool MASKED>
inline __attribute__((always_inline)) void source_pipeline_step(source_pipeline &s,
                                                                section_lanes &ring,
                                                                section_masks active, float *q,
                                                                float *q_before) {
    using namespace source_section;
    constexpr section_lanes A = {0.0f, -H_G1, -P_H1, Q_P1};
    constexpr section_lanes C = {G1, H1, P1, Q1};
    constexpr section_lanes D = {-G2, -H2, -P2, 0.0f};
    const section_lanes zero = {0.0f, 0.0f, 0.0f, 0.0f};
    const section_lanes shifted = __builtin_shufflevector(ring, zero, 4, 0, 1, 2);
    section_lanes x = shifted;
    // Without samples the input is zero: the first product would be zero,
    // and adding it changes no value (at most a zero's sign).
    const bool has_input = s.samples != nullptr && (!MASKED || s.step < s.n);
    x[0] = has_input ? SOURCE_INPUT_GAIN * s.samples[s.step] : 0.0f;
    // b = 1 in every lane: lane 0's history is always zero.
    const section_lanes y = x + A * s.x1 + s.x2 + C * s.y1 + D * s.y2;
    *q_before = s.y1[3];
    *q = y[3];
    if (MASKED) {
        s.x2 = active ? s.x1 : s.x2;
        s.x1 = active ? shifted : s.x1;
        s.y2 = active ? s.y1 : s.y2;
        s.y1 = active ? y : s.y1;
    } else {
        s.x2 = s.x1;
        s.x1 = shifted;
        s.y2 = s.y1;
        s.y1 = y;
    }
    ring = s.y1;
    ++s.step;
}

// A step in which some lane has no sample of its own: before the last lane's
// first sample, or after the first lane's last one.
inline void source_pipeline_masked_step(source_pipeline &s, float *q, float *q_before) {
    const section_masks lane_delay = {0, SECTION_SKEW, 2 * SECTION_SKEW, 3 * SECTION_SKEW};
    const section_masks sample = s.step - lane_delay;
    const section_masks active = (sample >= 0) & (sample < s.n);
    source_pipeline_step<true>(s, s.ring[s.step % SECTION_SKEW], active, q, q_before);
}

// Takes the filter state and runs the steps before the last section's first sample.
inline source_pipeline source_pipeline_start(const source_filter &f, const float *samples, int n) {
    source_pipeline s;
    s.x1 = section_lanes{0.0f, f.g1, f.h1, f.p1};
    s.x2 = section_lanes{0.0f, f.g2, f.h2, f.p2};
    s.y1 = section_lanes{f.g1, f.h1, f.p1, f.q1};
    s.y2 = section_lanes{f.g2, f.h2, f.p2, 0.0f};
    for (section_lanes &r : s.ring) r = s.y1;
    s.samples = samples;
    s.n = n;
    s.step = 0;
    float q, q_before;
    for (int i = 0; i < PIPELINE_DELAY; ++i) source_pipeline_masked_step(s, &q, &q_before);
    return s;
}

// Runs four more samples through the last section and returns the output of
// the fourth; call it at most n / 4 times.
inline __attribute__((always_inline)) float source_pipeline_next(source_pipeline &s) {
    float q = 0.0f, q_before = 0.0f;
    if (s.step + SECTION_SKEW <= s.n) {
        // The step count is a multiple of SECTION_SKEW here.
        for (int j = 0; j < SECTION_SKEW; ++j)
            source_pipeline_step<false>(s, s.ring[j], section_masks{}, &q, &q_before);
    } else {
        for (int j = 0; j < SECTION_SKEW; ++j) source_pipeline_masked_step(s, &q, &q_before);
    }
    return q - SOURCE_OUTPUT_POLE * q_before;
}

// Runs the remaining samples through the later sections and stores the state.
inline void source_pipeline_finish(source_pipeline &s, source_filter *f) {
    float q, q_before;
    while (s.step < s.n + PIPELINE_DELAY) source_pipeline_masked_step(s, &q, &q_before);
    f->g1 = s.y1[0], f->g2 = s.y2[0];
    f->h1 = s.y1[1], f->h2 = s.y2[1];
    f->p1 = s.y1[2], f->p2 = s.y2[2];
    f->q1 = s.y1[3];
}

// The same filter over n samples, keeping only every fourth output (samples
// 4, 8, ... counted from 1) in out[0 .. n/4 - 1]; samples is left as it is.
void source_filter_decimate(source_filter *f, const float *samples, int n, float *out);
// The same filter over n zeros, its output thrown away.
void source_filter_flush(source_filter *f, int n);

// State of the glottal pulse generator, carried across frames.
struct pulse_generator {
    float pulse_position;  // position of the next pulse point in excitation samples, from 1
    int pulse_point;       // stored index (0..71) of the next pulse point
    float period_s;        // period in force
    float pulse_length_s;  // pulse length in force
    float closed_s;        // period minus pulse length in force (always positive)
    float point_step;      // excitation samples between pulse points
    float gap;             // excitation samples of the closed phase
    int cursor;            // next excitation control to take over within the frame
    float carry;           // share of a point that falls on the next frame's first sample
};

// Lanes of the side-by-side branch filters: the six branches padded to eight.
constexpr int BRANCH_LANES = 8;

// Buffers and states of the excitation source. Buffer sizes are the largest
// the parameter record allows, so nothing is allocated per frame.
struct excitation_state {
    float noise_buffer[MAX_FRAME_LENGTH];
    float voiced_buffer[MAX_FRAME_LENGTH];
    // Pulse train at the excitation rate; index k holds sample k counted from 1,
    // so index 0 is unused and the last index is excitation_frame_length.
    float source_buffer[MAX_EXCITATION_FRAME_LENGTH + 1];
    float glottal_phase[MAX_CONTROLS];
    float bw_mod[MAX_CONTROLS];
    float branch_buffer[MAX_FRAME_LENGTH];
    float saved_branch0[MAX_FRAME_LENGTH];  // branch 0's excitation, for alfcon
    pulse_generator pulse;
    source_filter filter;
    // Zero samples that the source filter still has to run before its next
    // use: the flush after a voiced stretch, which the driver spreads over the
    // silent frames that follow (finish_source_flush completes it).
    int flush_pending;
    noise_generator noise;
};

// The program's excitation state.
extern excitation_state excitation;

// Puts `e` in its start-of-run state: buffers and filter zero, pulse position 0,
// period 0.01 s, pulse length 0.007 s, noise generator at its seed.
void reset_excitation(excitation_state *e);

// Fills e->noise_buffer from index `start` to frame end with sum-of-twelve
// noise, and puts the burst impulse in when `burst` is set.
void make_noise_with(excitation_state *e, const synth_params *p, bool burst);

// Lays the frame's glottal pulses into e->source_buffer (which the caller has
// cleared) and records e->glottal_phase. Fatal when the pulse position has
// become negative.
void excite_with(excitation_state *e, const synth_params *p, const smoothed_controls *c);

// The frame's noise, voiced excitation and glottal phase from the controls c.
void make_excitation_with(excitation_state *e, const synth_params *p, const smoothed_controls *c);
// make_excitation_with without the source filter: the noise, the pulse train
// in e->source_buffer and the glottal phase. Returns true when the frame has
// voicing, so that the caller still has to filter and decimate the pulse
// train into e->voiced_buffer (synthesize_voiced_frame_with does it in the
// branches' pass); otherwise voiced_buffer is already as it must be. The
// flush after a voiced stretch is only added to e->flush_pending.
bool make_excitation_sources_with(excitation_state *e, const synth_params *p,
                                  const smoothed_controls *c);

// Runs the zero samples of e->flush_pending through the source filter.
void finish_source_flush(excitation_state *e);

// Fills e->branch_buffer and e->bw_mod with branch b's mixture of voiced and
// noise excitation; branches must come in increasing order within a frame.
void mix_excitation_with(excitation_state *e, int b, const synth_params *p,
                         const smoothed_controls *c);

// Every branch's mixing in the one form ((A noise + B voiced) C) gain, which
// rounds exactly like the branch's own formula in mix_excitation_with (lanes
// 6 and 7 get zeros), and every branch's bandwidth modulation input.
void mixing_form(const excitation_state *e, const synth_params *p, const smoothed_controls *c,
                 float A[BRANCH_LANES], float B[BRANCH_LANES], float C[BRANCH_LANES],
                 float bw_mod[NUM_BRANCHES][MAX_CONTROLS]);

// The driver's per-frame calls on the program's global state.
void make_excitation();
void mix_excitation(int b);
