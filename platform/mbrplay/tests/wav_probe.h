// Test helper: reads the format and data size of a RIFF/WAVE file, and sums
// the phoneme durations of MBROLA phoneme text.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace testutil {

struct WavInfo {
    bool valid = false;
    int channels = 0;
    int rate_hz = 0;
    int bits_per_sample = 0;
    std::uint32_t data_bytes = 0;
    double duration_ms() const {
        return valid ? 1000.0 * data_bytes / (rate_hz * channels * (bits_per_sample / 8)) : 0.0;
    }
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::uint32_t le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
           static_cast<std::uint8_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

inline int le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}

// Walks the chunks of a RIFF/WAVE file; valid only with a PCM "fmt " chunk
// followed by a "data" chunk that fits in the file.
inline WavInfo probe_wav(const std::string& path) {
    const std::string b = read_file(path);
    WavInfo info;
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return info;
    bool have_format = false;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::string id = b.substr(at, 4);
        const std::uint32_t size = le32(b, at + 4);
        if (id == "fmt " && size >= 16 && at + 24 <= b.size()) {
            have_format = le16(b, at + 8) == 1;
            info.channels = le16(b, at + 10);
            info.rate_hz = static_cast<int>(le32(b, at + 12));
            info.bits_per_sample = le16(b, at + 22);
        } else if (id == "data") {
            info.data_bytes = size;
            info.valid = have_format && info.channels > 0 && info.bits_per_sample >= 8 &&
                         at + 8 + size <= b.size();
            return info;
        }
        at += 8 + size + (size & 1);
    }
    return info;
}

// Sum of the second column of every phoneme line (comments start with ";").
inline double phoneme_duration_ms(const std::string& pho) {
    std::istringstream lines(pho);
    std::string line;
    double total_ms = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == ';') continue;
        std::istringstream words(line);
        std::string phoneme;
        double duration_ms = 0;
        if (words >> phoneme >> duration_ms) total_ms += duration_ms;
    }
    return total_ms;
}

}  // namespace testutil
