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

// One sample through the four sections, each in the order of its equation;
// `first_term` is 0.0109455 times the input sample. Returns the last section's
// q and updates the state except q1, which the caller sets to q after the
// output step (source_filter_output) if it wants that output.
inline float source_filter_sections(source_filter &f, float first_term) {
    const float g = first_term + 1.5453652f * f.g1 - 0.9386455f * f.g2;
    const float h = g - 1.280451f * f.g1 + f.g2 + 1.5368902f * f.h1 - 0.7920242f * f.h2;
    const float p = h - 0.9188553f * f.h1 + f.h2 + 1.5652816f * f.p1 - 0.643415f * f.p2;
    const float q = p + 1.4773386f * f.p1 + f.p2 + 0.9988583f * f.q1;
    f.g2 = f.g1, f.g1 = g, f.h2 = f.h1, f.h1 = h, f.p2 = f.p1, f.p1 = p;
    return q;
}
inline float source_filter_output(const source_filter &f, float q) { return q - 0.9126601f * f.q1; }
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
