// The frame loop of parvox over the fuzz targets' parameter records and frames.
#include "synth_run.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "excitation.h"
#include "filters.h"
#include "fuzz_support.h"
#include "zir.h"

namespace fuzz {

namespace {

// The synthesizer's state is large, so it lives here rather than on the stack.
smoothed_controls controls;
excitation_state source;
filter_bank bank;
float samples[MAX_FRAME_LENGTH];

control_frame frame_of(std::int16_t value, std::int16_t voicing, std::int16_t f0) {
    control_frame f{};
    for (int i = 0; i < CONTROL_FIELDS; ++i) control_field(f, i) = value;
    f.voicing = voicing;
    f.f0_index = f0;
    return f;
}

}  // namespace

void start_synthesis(synth_params* p) {
    build_tables_for(p);
    std::memset(&controls, 0, sizeof controls);
    reset_excitation(&source);
    reset_filter_bank(&bank);
}

void synthesize_one_frame(const synth_params* p, control_frame* current,
                          const control_frame* previous) {
    remove_squeaks_in(current, previous, p);
    convert_controls_with(&controls, p, current, previous);
    make_excitation_with(&source, p, &controls);
    std::memset(samples, 0, sizeof samples);
    for (int b = 0; b < NUM_BRANCHES; ++b) mix_excitation_with(&source, b, p, &controls);
    synthesize_frame_with(&bank, p, &controls, &source, samples);
    int overload = 0;
    for (int i = 0; i < p->frame_length; ++i) {
        // The sink's conversion is where a non-finite sample would turn into
        // an undefined integer conversion.
        (void)zir_convert_sample(samples[i], &overload);
    }
}

void synthesize_sample_frames(const synth_params* p) {
    control_frame frames[] = {
        frame_of(0, 0, 0),
        frame_of(20, 60, 30),  // a steady voiced vowel
        frame_of(40, 80, 63),
        frame_of(1, 0, 0),     // sudden drop: squeak remover and clamps
        frame_of(63, 20, 10),  // noise with a burst onset
        frame_of(INT16_MAX, INT16_MAX, INT16_MAX),
        frame_of(INT16_MIN, INT16_MIN, INT16_MIN),
        frame_of(-1, -1, -1),
        frame_of(20, 60, 30),
    };
    control_frame previous{};
    for (control_frame& frame : frames) {
        control_frame current = frame;
        synthesize_one_frame(p, &current, &previous);
        previous = current;
    }
}

}  // namespace fuzz
