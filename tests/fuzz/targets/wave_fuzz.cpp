// Fuzz target: the audio player's file side with a WAVE file through the header walker and
// FillBuffer.
//
// Input: the whole file.
#include <cstdint>

#include "audio_file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".wav");
    static CAudioPlayer* player = [] {
        fuzz::install_quiet_ui_host();
        return new CAudioPlayer;
    }();
    file.write(data, size);
    fuzz::play_file_side(*player, file.path());
    return 0;
}
