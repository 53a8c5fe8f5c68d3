// The player's file side over one fuzzed audio file: recognition, every block
// to the end, then positioning by time and reading on from there.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "audio_player.h"
#include "fuzz_support.h"

namespace fuzz {

// Reads blocks until the end of data, checking each one.
inline void read_to_end(CAudioPlayer& player) {
    // Each block consumes at least one byte of the file, so the count is bounded.
    for (int i = 0; i < 1000000 && player.FillBuffer(i % CAudioPlayer::NUM_BUFFERS); ++i) {
        const std::size_t length = player.GetBufferLength(i % CAudioPlayer::NUM_BUFFERS);
        check(length > 0 && length <= CAudioPlayer::REPLAY_BLOCK_BYTES, "block length");
        const std::uint16_t align = player.GetPcmFormat().block_align;
        if (player.GetFileKind() == CAudioPlayer::FILE_KIND_WAVE && align > 1) {
            check(length % align == 0, "block holds a partial sample frame");
        }
    }
}

inline void play_file_side(CAudioPlayer& player, const std::string& path) {
    if (!player.Open(path)) {
        check(!player.IsOpen(), "open after a refusal");
        return;
    }
    check(player.GetFileKind() == CAudioPlayer::FILE_KIND_WAVE ||
              player.GetFileKind() == CAudioPlayer::FILE_KIND_MPEG,
          "open file of no kind");
    read_to_end(player);
    const double times_s[] = {0.0,
                              0.013,
                              0.5,
                              2.75,
                              1e12,
                              -3.0,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()};
    for (double seconds : times_s) {
        player.SeekToTime(seconds);
        read_to_end(player);
    }
    player.Close();
}

// One fuzz input: the bytes written to a file named with `extension` (the same
// on every call of a target), then through the player's file side.
inline void fuzz_audio_file(const char* extension, const std::uint8_t* data, std::size_t size) {
    static InputFile file(extension);
    static CAudioPlayer* player = [] {
        install_quiet_ui_host();
        return new CAudioPlayer;
    }();
    file.write(data, size);
    play_file_side(*player, file.path());
}

}  // namespace fuzz
