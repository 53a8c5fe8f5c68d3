// Test fixtures of the player: WAVE files built byte by byte, MPEG files made
// by the lame encoder, temporary folders and a window that hands notices on.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio_player.h"
#include "wnd.h"

namespace player_test {

namespace fs = std::filesystem;

inline std::string Le16(unsigned value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

inline std::string Le32(std::uint32_t value) { return Le16(value & 0xFFFF) + Le16(value >> 16); }

// One RIFF chunk: identifier, little-endian size, body (no padding).
inline std::string Chunk(const std::string& id, const std::string& body) {
    return id + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

// The 16 bytes of a PCM format chunk body, plus `extra` bytes after them.
inline std::string FormatBody(unsigned tag, unsigned channels, std::uint32_t rate_hz, unsigned bits,
                              const std::string& extra = "") {
    const unsigned align = channels * bits / 8;
    return Le16(tag) + Le16(channels) + Le32(rate_hz) + Le32(rate_hz * align) + Le16(align) +
           Le16(bits) + extra;
}

inline std::string Riff(const std::string& chunks) {
    return "RIFF" + Le32(static_cast<std::uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

// `count` bytes of a pattern that differs from block to block, so that a
// misplaced or repeated block shows in a comparison.
inline std::string Pattern(std::size_t count, unsigned seed = 1) {
    std::string bytes(count, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() / ("player_test_" + std::to_string(::getpid()) + "_" +
                                             info->test_suite_name() + "_" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline bool HaveLame() { return std::system("command -v lame >/dev/null 2>&1") == 0; }

// Encodes `seconds` of a 440 Hz sine as MPEG Layer III with lame into `mp3`
// (MPEG-1 at 32000 Hz and above, MPEG-2 below). `extra` is added to lame's
// options. False when lame fails.
inline bool EncodeSine(const fs::path& mp3, int rate_hz, int channels, int bit_rate_kbps,
                       double seconds, const std::string& extra = "") {
    const fs::path raw = mp3.string() + ".raw";
    {
        std::string pcm;
        const int frames = static_cast<int>(seconds * rate_hz);
        for (int i = 0; i < frames; ++i) {
            const auto sample =
                static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 440.0 * i / rate_hz));
            for (int c = 0; c < channels; ++c) pcm += Le16(static_cast<std::uint16_t>(sample));
        }
        WriteFile(raw, pcm);
    }
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, "%g", rate_hz / 1000.0);
    const std::string command = "lame --quiet -r -s " + std::string(rate_text) +
                                " --bitwidth 16 --signed --little-endian -m " +
                                (channels == 1 ? "m" : "s") + " -b " +
                                std::to_string(bit_rate_kbps) + " --cbr " + extra + " '" +
                                raw.string() + "' '" + mp3.string() + "' 2>/dev/null";
    const bool ok = std::system(command.c_str()) == 0;
    fs::remove(raw);
    return ok;
}

// A main window as the player sees it: each MM_WOM_DONE goes to OnBufferDone.
class NoticeWindow : public framework::CWnd {
public:
    explicit NoticeWindow(CAudioPlayer& player) : player_(player) {}
    long WindowProc(unsigned message) override {
        if (message != framework::MM_WOM_DONE) return 0;
        ++notices;
        return player_.OnBufferDone() ? 1 : 0;
    }
    int notices = 0;

private:
    CAudioPlayer& player_;
};

}  // namespace player_test
