// Audio files made by the tests: 16-bit PCM WAVE written here, MPEG Layer III
// encoded from the same samples by the lame encoder.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace analysis_test {

inline void PutLe(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline std::int16_t ToPcm(float sample) {
    return static_cast<std::int16_t>(
        std::lround(std::clamp(sample, -1.0f, 32767.0f / 32768.0f) * 32768.0f));
}

// A mono (or, with `channels` 2, the same samples twice) 16-bit PCM WAVE file.
inline void WriteWave(const std::filesystem::path& path, const std::vector<float>& samples,
                      int rate_hz, int channels = 1) {
    std::ofstream out(path, std::ios::binary);
    const std::uint32_t data_bytes = static_cast<std::uint32_t>(samples.size() * 2 * channels);
    out << "RIFF";
    PutLe(out, 36 + data_bytes, 4);
    out << "WAVEfmt ";
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);
    PutLe(out, static_cast<std::uint32_t>(channels), 2);
    PutLe(out, static_cast<std::uint32_t>(rate_hz), 4);
    PutLe(out, static_cast<std::uint32_t>(rate_hz * 2 * channels), 4);
    PutLe(out, static_cast<std::uint32_t>(2 * channels), 2);
    PutLe(out, 16, 2);
    out << "data";
    PutLe(out, data_bytes, 4);
    for (float s : samples) {
        for (int c = 0; c < channels; ++c) PutLe(out, static_cast<std::uint16_t>(ToPcm(s)), 2);
    }
}

inline bool HaveLame() { return std::system("command -v lame >/dev/null 2>&1") == 0; }

// The same samples as MPEG Layer III at 64 kbit/s; false when lame fails.
inline bool WriteMpeg(const std::filesystem::path& path, const std::vector<float>& samples,
                      int rate_hz) {
    const std::filesystem::path raw = path.string() + ".raw";
    {
        std::ofstream out(raw, std::ios::binary);
        for (float s : samples) PutLe(out, static_cast<std::uint16_t>(ToPcm(s)), 2);
    }
    const std::string command = "lame --quiet -r -s " + std::to_string(rate_hz / 1000.0) +
                                " --bitwidth 16 --signed --little-endian -m m -b 64 --cbr '" +
                                raw.string() + "' '" + path.string() + "' 2>/dev/null";
    const bool ok = std::system(command.c_str()) == 0;
    std::filesystem::remove(raw);
    return ok;
}

}  // namespace analysis_test
