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
    // Every branch's excitation and modulation input of the frame, kept by
    // mix_excitation so that the filter bank can run the branches side by side.
    // The inputs are interleaved (sample by sample, eight lanes of which six
    // are used) so that one sample of all branches is one vector load.
    alignas(32) float branch_inputs[MAX_FRAME_LENGTH][BRANCH_LANES];
    float branch_bw_mod[NUM_BRANCHES][MAX_CONTROLS];
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
// noise excitation, and keeps copies in lane b of e->branch_inputs and in
// e->branch_bw_mod[b]; branches must come in increasing order within a frame.
void mix_excitation_with(excitation_state *e, int b, const synth_params *p,
                         const smoothed_controls *c);

// The driver's per-frame calls on the program's global state.
void make_excitation();
void mix_excitation(int b);
