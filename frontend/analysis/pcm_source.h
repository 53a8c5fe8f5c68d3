// A mono sample stream of one audio file, read forward from any position.
// The analysis reads every file through this interface so that it never
// needs the whole file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace analysis {

class PcmSource {
public:
    virtual ~PcmSource() = default;
    // Samples per second of the stream.
    virtual int rate_hz() const = 0;
    // Number of sample frames in the whole stream.
    virtual std::int64_t length_samples() const = 0;
    // Positions the stream so that the next read starts at sample frame
    // `sample` (0 to length_samples()); false when it cannot.
    virtual bool seek(std::int64_t sample) = 0;
    // Reads up to `count` frames as mono samples in [-1, 1) (channels
    // averaged); returns the number read, 0 at the end of the stream.
    virtual std::size_t read(float* out, std::size_t count) = 0;
};

// Samples already in memory, for signals made by a program.
class MemorySource : public PcmSource {
public:
    MemorySource(std::vector<float> samples, int rate_hz)
        : m_samples(std::move(samples)), m_rate_hz(rate_hz) {}
    int rate_hz() const override { return m_rate_hz; }
    std::int64_t length_samples() const override {
        return static_cast<std::int64_t>(m_samples.size());
    }
    bool seek(std::int64_t sample) override;
    std::size_t read(float* out, std::size_t count) override;

private:
    std::vector<float> m_samples;
    int m_rate_hz;
    std::size_t m_position = 0;
};

// Opens an audio file (PCM WAVE or MPEG audio) through the player's file
// reader. On failure returns null with a one-line reason in `error`.
std::unique_ptr<PcmSource> OpenAudioFile(const std::string& path, std::string& error);

}  // namespace analysis
