// A WAVE file for the shell's tests: 16-bit mono PCM silence at 11000 Hz.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace test_wave {

// Writes `samples` zero samples (11000 make one second).
inline void WriteSilentWave(const std::filesystem::path& path, std::uint32_t samples) {
    const std::uint32_t data_bytes = samples * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out << "RIFF";
    u32(36 + data_bytes);
    out << "WAVEfmt ";
    u32(16);     // format block size
    u16(1);      // PCM
    u16(1);      // channels
    u32(11000);  // sample rate
    u32(22000);  // bytes per second
    u16(2);      // block align
    u16(16);     // bits per sample
    out << "data";
    u32(data_bytes);
    out << std::string(data_bytes, '\0');
}

}  // namespace test_wave
