// Fuzz target: the audio player's file side with an MPEG audio file through the frame walker, the
// codec and SeekToTime.
//
// Input: the whole file.
#include <cstdint>

#include "audio_file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".mp3");
    static CAudioPlayer* player = [] {
        fuzz::install_quiet_ui_host();
        return new CAudioPlayer;
    }();
    file.write(data, size);
    fuzz::play_file_side(*player, file.path());
    return 0;
}
