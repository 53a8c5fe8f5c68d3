// Fuzz target: a parvox glottal file (pulse shape and phase pattern) read with
// the shipped parameter file, then a few synthesized frames with them.
//
// Input: the whole glottal file.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "params.h"
#include "synth_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".glt");
    static const std::string parameter_file = TALORIA_SOURCE_DIR "/synth/data/default.par";
    file.write(data, size);

    static synth_params p;
    if (!fuzz::survives_refusal(
            [&] { read_parameters_from(&p, parameter_file.c_str(), file.path().c_str()); })) {
        return 0;
    }
    fuzz::check(fuzz::survives_refusal([&] {
                    fuzz::start_synthesis(&p);
                    fuzz::synthesize_sample_frames(&p);
                }),
                "an accepted glottal file makes the synthesis stop");
    return 0;
}
