// Runs parvox's frame loop on a parameter record and a list of control frames,
// so that a fuzzed parameter file or control stream reaches every table index
// and sample conversion that the program would reach.
#pragma once

#include <cstdio>

#include "control.h"
#include "params.h"

namespace fuzz {

// Puts the synthesizer's state to its start of run for `p` and builds its
// tables; call once per record as read, since building changes the record.
void start_synthesis(synth_params* p);

// Synthesizes one frame from `current` and `previous` (the squeak remover
// edits `current`) and converts its samples as the output sink does.
// Fatal messages are the caller's to catch.
void synthesize_one_frame(const synth_params* p, control_frame* current,
                          const control_frame* previous);

// A handful of control frames from silence to every field at its extremes,
// for targets whose input is not the control stream.
void synthesize_sample_frames(const synth_params* p);

}  // namespace fuzz
