// Fuzz target: a parvox parameter file through read_parameters, then the
// tables built from it and a few synthesized frames.
//
// Input: the whole parameter file. A file that parvox refuses (a fatal message)
// ends the input; one that it accepts must also synthesize without a fault and
// without a fatal message.
#include <cstdint>

#include "fuzz_support.h"
#include "params.h"
#include "synth_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".par");
    file.write(data, size);

    static synth_params p;
    if (!fuzz::survives_refusal([&] { read_parameters_from(&p, file.path().c_str(), nullptr); })) {
        return 0;
    }
    fuzz::check(p.frame_length >= 1 && p.frame_length <= MAX_FRAME_LENGTH, "frame length");
    fuzz::check(p.formant_controls >= 1 && p.formant_controls <= MAX_CONTROLS,
                "formant controls per frame");
    fuzz::check(p.excitation_controls >= 1 && p.excitation_controls <= MAX_CONTROLS,
                "excitation controls per frame");
    fuzz::check(p.silence_samples >= 0 && p.silence_samples <= p.frame_length, "silence samples");
    // Parameters that were accepted must not make the synthesis stop later,
    // in the middle of the output.
    fuzz::check(fuzz::survives_refusal([&] {
                    fuzz::start_synthesis(&p);
                    fuzz::synthesize_sample_frames(&p);
                }),
                "accepted parameters make the synthesis stop");
    return 0;
}
