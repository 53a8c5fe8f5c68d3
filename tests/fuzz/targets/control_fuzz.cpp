// Fuzz target: a parvox control stream through read_control_frame, read once in
// the decimal form and once in the fixed-column hexadecimal form (-t), every
// frame synthesized with the built-in parameters.
//
// Input: the whole control stream.
#include <cstdint>
#include <cstdio>

#include "control.h"
#include "fuzz_support.h"
#include "params.h"
#include "synth_run.h"

namespace {

// Frames per pass at the most; the smallest line (a line feed) is one frame,
// so this bounds nothing that libFuzzer's input sizes reach in practice.
constexpr int kMaxFrames = 100000;
// Frames synthesized per pass; later frames are only read. Synthesis costs far
// more than reading, and what it does with a frame does not depend on how
// many came before it beyond the smoothers' state.
constexpr int kMaxSynthesizedFrames = 16;

void read_all_frames(const std::string& path, bool hex_form, const synth_params& derived) {
    // Building the tables changes the record (the branch gains take their
    // signs), so every pass starts from the record as read.
    static synth_params working;
    working = derived;
    synth_params* p = &working;
    hex_controls = hex_form;
    fuzz::start_synthesis(p);
    reset_control_state();
    FILE* stream = std::fopen(path.c_str(), "r");
    fuzz::check(stream != nullptr, "cannot open the control stream");
    int frames = 0;
    const bool finished = fuzz::survives_refusal([&] {
        while (frames < kMaxFrames && read_control_frame(stream)) {
            if (frames < kMaxSynthesizedFrames) {
                fuzz::synthesize_one_frame(p, current_frame, previous_frame);
            }
            ++frames;
        }
    });
    // The synthesizer's own fatal message is a consistency check: no control
    // line may reach it, or parvox would stop in the middle of its output.
    fuzz::check(finished, "a control stream makes the synthesis stop");
    // Once the end is reported, the stream stays at its end.
    if (frames < kMaxFrames) {
        fuzz::check(!read_control_frame(stream), "frame after the end");
    }
    std::fclose(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".ctl");
    static synth_params p;
    static const bool ready =
        fuzz::survives_refusal([] { read_parameters_from(&p, nullptr, nullptr); });
    fuzz::check(ready, "the built-in parameters are refused");
    file.write(data, size);

    read_all_frames(file.path(), false, p);
    read_all_frames(file.path(), true, p);
    return 0;
}
