// The player's file side (its reader) over one fuzzed audio file: recognition, every block
// to the end, then positioning by time and reading on from there.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "audio_reader.h"
#include "fuzz_support.h"

namespace fuzz {

// Reads blocks until the end of data, checking each one.
inline void read_to_end(CAudioReader& reader, std::uint8_t* block) {
    // Each block consumes at least one byte of the file, so the count is bounded.
    for (int i = 0; i < 1000000; ++i) {
        const std::size_t length = reader.ReadBlock(block, CAudioReader::BLOCK_BYTES);
        if (length == 0) break;
        check(length <= CAudioReader::BLOCK_BYTES, "block length");
        const std::uint16_t align = reader.GetPcmFormat().block_align;
        if (reader.GetFileKind() == CAudioReader::FILE_KIND_WAVE && align > 1) {
            check(length % align == 0, "block holds a partial sample frame");
        }
    }
}

inline void play_file_side(CAudioReader& reader, const std::string& path) {
    static std::vector<std::uint8_t> block(CAudioReader::BLOCK_BYTES);
    std::string message;
    if (!reader.Open(path, message)) {
        check(!reader.IsOpen(), "open after a refusal");
        return;
    }
    check(reader.GetFileKind() == CAudioReader::FILE_KIND_WAVE ||
              reader.GetFileKind() == CAudioReader::FILE_KIND_MPEG,
          "open file of no kind");
    read_to_end(reader, block.data());
    const double times_s[] = {0.0,
                              0.013,
                              0.5,
                              2.75,
                              1e12,
                              -3.0,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()};
    for (double seconds : times_s) {
        reader.SeekToTime(seconds);
        read_to_end(reader, block.data());
    }
    reader.Close();
}

// One fuzz input: the bytes written to a file named with `extension` (the same
// on every call of a target), then through the player's reader.
inline void fuzz_audio_file(const char* extension, const std::uint8_t* data, std::size_t size) {
    static InputFile file(extension);
    static CAudioReader* reader = new CAudioReader;
    file.write(data, size);
    play_file_side(*reader, file.path());
}

}  // namespace fuzz
