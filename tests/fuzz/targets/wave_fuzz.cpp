// Fuzz target: the audio player's reader with a WAVE file through the header walker and
// ReadBlock.
//
// Input: the whole file.
#include <cstdint>

#include "audio_file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::fuzz_audio_file(".wav", data, size);
    return 0;
}
