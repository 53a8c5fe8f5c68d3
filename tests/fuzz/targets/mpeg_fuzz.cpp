// Fuzz target: the audio player's reader with an MPEG audio file through the frame walker, the
// codec and SeekToTime.
//
// Input: the whole file.
#include <cstdint>

#include "audio_file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::fuzz_audio_file(".mp3", data, size);
    return 0;
}
