// The formant filter bank: six branch resonators, the fixed branch filters and the final output
// filter.
#pragma once

#include "control.h"
#include "excitation.h"
#include "params.h"

// Two-pole resonator of one branch: y = gain * x + a * y1 + b * y2. Only the
// history lives here; the coefficients change with every formant control.
struct resonator {
    float y1;
    float y2;
};

// Filters samples[0 .. n-1] in place with fixed coefficients, carrying the history on.
void resonator_process(resonator *r, float *samples, int n, float gain, float a, float b);

// Branch 0: one-pole low-pass followed by two real zeros.
struct lowpass_zeros_filter {
    float c1;
    float c2;
};
void lowpass_zeros_add(lowpass_zeros_filter *f, const float *x, float *sum, int n);

// Branches 1 and 2: first difference (6 dB per octave rise).
struct difference_filter {
    float x1;
};
void difference_add(difference_filter *f, const float *x, float *sum, int n);

// Branch 3: resonance near 4.2 kHz followed by a first difference.
struct resonance_difference_filter {
    float c1;
    float c2;
};
void resonance_difference_add(resonance_difference_filter *f, const float *x, float *sum, int n);

// Branch 4: band shaping with three pole pairs and one zero pair near 3.5 kHz.
struct high_band_filter {
    float g1, g2;  // first section's outputs
    float h1, h2;  // third section's outputs
    float y1, y2;  // last section's outputs
};
void high_band_add(high_band_filter *f, const float *x, float *sum, int n);

// Branch 5 has no memory: a plain gain.
void nasal_gain_add(const float *x, float *sum, int n);

// The final filter over the summed branches: a low-pass removing energy near
// the Nyquist frequency, then a single pole tilting the spectrum downwards.
struct output_stage_filter {
    float p1, p2;
    float q1, q2;
    float y1;
};
void output_stage_process(output_stage_filter *f, float *samples, int n);

// Every filter memory of the bank. All start at zero and are never reset
// during a run: the whole utterance is one continuous signal.
struct filter_bank {
    resonator resonators[NUM_BRANCHES];
    lowpass_zeros_filter branch0;
    difference_filter branch1;
    difference_filter branch2;
    resonance_difference_filter branch3;
    high_band_filter branch4;
    output_stage_filter output;
};

// The frame's output samples, in units of a quarter of a 16-bit step; the
// driver clears all of them before each frame, the first frame_length are used.
extern float output_buffer[MAX_FRAME_LENGTH];

// The program's filter bank.
extern filter_bank filters;

// Sets every filter memory of `bank` to zero.
void reset_filter_bank(filter_bank *bank);

// Resonates e->branch_buffer in place for branch b, with coefficients taken
// per formant control from the tables of p, the controls of c and the
// modulation inputs of e.
void resonate_with(filter_bank *bank, int b, const synth_params *p, const smoothed_controls *c,
                   excitation_state *e);

// Runs branch b's fixed filter over branch_buffer and adds the result into sum.
void shape_branch_with(filter_bank *bank, int b, const float *branch_buffer, float *sum, int n);

// Runs mix_excitation_with, resonate_with and shape_branch_with for all six
// branches at once, the branches side by side sample by sample, from the
// frame's noise, voiced signal and glottal phase in e. Adds into sum in branch
// order, so the result is exactly that of the branch-by-branch calls.
void synthesize_branches_with(filter_bank *bank, const synth_params *p, const smoothed_controls *c,
                              const excitation_state *e, float *sum);

// synthesize_branches_with followed by the final filter over `out` (which
// holds zeros or earlier sums on entry), the filter run on each sample as soon
// as its sum is complete: exactly the result of output_stage_process after it.
void synthesize_frame_with(filter_bank *bank, const synth_params *p, const smoothed_controls *c,
                           const excitation_state *e, float *out);

// synthesize_frame_with for a frame with voicing, the source filter run in
// the same pass: each voiced sample e->voiced_buffer[n] is made from
// e->source_buffer (filtered and decimated as source_filter_decimate does)
// just before the branches take it, so that the source filter's chain of
// steps and the branches' work overlap. Exactly the samples, voiced buffer
// and filter state of source_filter_decimate followed by synthesize_frame_with.
void synthesize_voiced_frame_with(filter_bank *bank, const synth_params *p,
                                  const smoothed_controls *c, excitation_state *e, float *out);

// The frame's excitation and synthesis as the driver runs them: the sources,
// then the branches with the source filter in the same pass, or, in a silent
// frame, with a share of a pending flush of the source filter beside them.
// Exactly the samples and states of make_excitation_with followed by
// synthesize_frame_with, except that the source filter may still owe part of
// its flush (e->flush_pending), which it completes before its next use.
void synthesize_whole_frame_with(filter_bank *bank, const synth_params *p,
                                 const smoothed_controls *c, excitation_state *e, float *out);

// The driver's per-frame calls on the program's global state.
void resonate(int b);
void shape_branch(int b);
void output_filter();
// make_excitation, then mix_excitation, resonate and shape_branch for every
// branch and output_filter in one pass.
void synthesize_frame();
