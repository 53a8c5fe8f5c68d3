// Control frames: reading control lines, the squeak remover and the smoothed per-frame controls.
#pragma once

#include <cstdint>
#include <cstdio>

#include "params.h"

constexpr int CONTROL_FIELDS = 12;
constexpr int NO_PULSE_SHIFT = 32;  // pulse_shift value that leaves the pulse F0 unshifted

// One frame of the control file: twelve signed 16-bit control values, in field order.
struct control_frame {
    int16_t nasal_freq;   // 0: branch 5 frequency, control units
    int16_t f1_freq;      // 1: branch 0 frequency
    int16_t f2_freq;      // 2: branch 1 frequency
    int16_t f3_freq;      // 3: branch 2 frequency
    int16_t nasal_amp;    // 4: amp_table index of branch 5
    int16_t f1_amp;       // 5: amp_table index of branch 0
    int16_t f2_amp;       // 6: amp_table index of branch 1
    int16_t f3_amp;       // 7: amp_table index of branch 2
    int16_t high_amp;     // 8: amp_table index of branches 3 and 4
    int16_t voicing;      // 9: degree of voicing
    int16_t f0_index;     // 10: f0_table index, 16 steps per octave
    int16_t pulse_shift;  // 11: shift of the F0 used for the pulse length; 32 means none
};

// Field i (0..11) of a frame, by its position in the record.
int16_t &control_field(control_frame &frame, int i);
int16_t control_field(const control_frame &frame, int i);

// State of one two-pole smoother: its last and second-last outputs.
struct smoother_state {
    float y1;
    float y2;
};

// The smoothed controls of the current frame (filled by convert_controls and
// consumed within the same frame), with the smoother states that persist across frames.
struct smoothed_controls {
    // cos_table positions counted from 1; a position beyond the grid is kept
    // (the resonator takes the grid's nearest end), so the smoothers glide as
    // they would within it.
    float branch_freq[NUM_BRANCHES][MAX_CONTROLS];
    float branch_amp[NUM_BRANCHES][MAX_CONTROLS];  // linear branch gains
    float voicing_factor[NUM_BRANCHES];            // 0..1
    float pitch_period[MAX_CONTROLS];              // seconds, per excitation control
    float pulse_length[MAX_CONTROLS];              // seconds, per excitation control
    float nasal_widening;                          // 0..1
    bool formant_clamp;
    bool pitch_clamp;
    bool all_unvoiced;
    bool previous_all_unvoiced;  // all_unvoiced of the frame before this one
    bool all_voiced;
    bool voicing_onset;
    bool burst_onset;

    smoother_state amp_smoother[NUM_BRANCHES];
    smoother_state freq_smoother[3];  // branches 0, 1, 2
    smoother_state period_smoother;
    smoother_state pulse_length_smoother;
};

// The program's control state. current_frame and previous_frame point into a pair of
// records that swap roles at every frame read.
extern smoothed_controls frame_controls;
extern control_frame *current_frame;
extern control_frame *previous_frame;

// Set by the driver (-t): control lines are in the fixed-column hexadecimal form.
extern bool hex_controls;

// Resets all control state: both frame records zero, smoothers zero, flags off,
// and a stream that ended at a 0x1A byte may be read again. Called by build_tables.
void reset_control_state();

// Reads the next frame from stream into the current record (the old current record
// becomes the previous one). Comment lines ("*" first) are skipped; of a line
// longer than 255 characters only the first 255 count. Returns false at the end
// of input, which is also a 0x1A byte or a read error (the caller checks
// ferror). Never fails on any input bytes.
bool read_control_frame(FILE *stream);

// Parses one control line (without its line end) into frame, in the decimal or the
// hexadecimal form, and returns the number of values read (always 12 in the
// hexadecimal form). Pure; used by read_control_frame.
int parse_control_line(const char *line, bool hex_form, control_frame *frame);

// What read_control_frame has seen of the control lines since the last reset:
// lines read (comments included), and among the decimal frame lines those that
// gave values and those with text but no value at all (words or phonemes fed
// in by mistake), with the line number of the first of them.
struct control_line_counts {
    long lines_read;
    long with_values;
    long without_values;
    long first_without_values;
};
extern control_line_counts control_lines;

// Holds a formant's frequency while its amplitude drops sharply (edits the current frame).
void remove_squeaks();
void remove_squeaks_in(control_frame *current, const control_frame *previous,
                       const synth_params *p);

// Fills frame_controls from the current and previous frames and params. Control
// values outside the F0 and amplitude tables are limited to them.
void convert_controls();
void convert_controls_with(smoothed_controls *c, const synth_params *p,
                           const control_frame *current, const control_frame *previous);

// The two smoothers, run in place over n values with the given state.
void smooth_formant_controls(smoother_state *state, float *values, int n);
void smooth_excitation_controls(smoother_state *state, float *values, int n);
