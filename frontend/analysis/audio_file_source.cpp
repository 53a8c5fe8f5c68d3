// Audio files as a PcmSource, read through the player's file reader, so the
// panel shows exactly the samples that replay plays.
#include <algorithm>
#include <cmath>
#include <vector>

#include "audio_reader.h"
#include "pcm_source.h"

namespace analysis {

namespace {

// The formats the analysis reads: what the replay device plays.
bool Readable(const PcmWaveFormat& format) {
    return format.channels > 0 && format.samples_per_sec > 0 &&
           (format.bits_per_sample == 8 || format.bits_per_sample == 16) &&
           format.block_align == format.channels * format.bits_per_sample / 8;
}

class ReaderSource : public PcmSource {
public:
    ReaderSource() : m_block(CAudioReader::BLOCK_BYTES) {}

    // Opens the file and counts its samples; false with the reason in `error`.
    bool open(const std::string& path, std::string& error) {
        std::string message;
        if (!m_reader.Open(path, message)) {
            error = message.empty() ? "it is not a PCM WAVE or MPEG audio file" : message;
            while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
                error.pop_back();
            return false;
        }
        m_format = m_reader.GetPcmFormat();
        if (!Readable(m_format)) {
            error = "its sample format cannot be played";
            return false;
        }
        count_length();
        return true;
    }

    int rate_hz() const override { return static_cast<int>(m_format.samples_per_sec); }

    std::int64_t length_samples() const override { return m_length; }

    // Counts the frames of the whole file once: neither a WAVE reader nor an
    // MPEG stream tells its length without walking it.
    void count_length() {
        m_reader.SeekToTime(0.0);
        std::int64_t frames = 0;
        while (const std::size_t bytes = m_reader.ReadBlock(m_block.data(), m_block.size())) {
            frames += static_cast<std::int64_t>(bytes / m_format.block_align);
        }
        m_length = frames;
        seek(0);
    }

    bool seek(std::int64_t sample) override {
        if (sample < 0 || sample > m_length) return false;
        m_reader.SeekToTime(static_cast<double>(sample) / rate_hz());
        // An MPEG seek lands at the start of the frame holding the time; the
        // frames before the sample asked for are read and dropped.
        const auto landed =
            static_cast<std::int64_t>(std::llround(m_reader.GetPositionTime() * rate_hz()));
        m_skip = std::max<std::int64_t>(0, sample - landed);
        m_block_used = m_block_length = 0;
        return true;
    }

    std::size_t read(float* out, std::size_t count) override {
        std::size_t done = 0;
        while (done < count) {
            if (m_block_used >= m_block_length) {
                m_block_length = m_reader.ReadBlock(m_block.data(), m_block.size());
                m_block_used = 0;
                if (m_block_length < m_format.block_align) break;
            }
            const std::size_t frame_bytes = m_format.block_align;
            while (done < count && m_block_used + frame_bytes <= m_block_length) {
                const float value = mono_sample(m_block.data() + m_block_used);
                m_block_used += frame_bytes;
                if (m_skip > 0) {
                    --m_skip;
                    continue;
                }
                out[done++] = value;
            }
            if (m_block_length - m_block_used < frame_bytes) m_block_used = m_block_length;
        }
        return done;
    }

private:
    // The average of the channels of the sample frame at `frame`.
    float mono_sample(const std::uint8_t* frame) const {
        float sum = 0.0f;
        for (int c = 0; c < m_format.channels; ++c) {
            if (m_format.bits_per_sample == 8) {
                sum += (static_cast<int>(frame[c]) - 128) / 128.0f;
            } else {
                const auto value =
                    static_cast<std::int16_t>(frame[2 * c] | (frame[2 * c + 1] << 8));
                sum += value / 32768.0f;
            }
        }
        return sum / m_format.channels;
    }

    CAudioReader m_reader;
    PcmWaveFormat m_format;
    std::vector<std::uint8_t> m_block;
    std::size_t m_block_length = 0;
    std::size_t m_block_used = 0;
    std::int64_t m_skip = 0;
    std::int64_t m_length = 0;
};

}  // namespace

std::unique_ptr<PcmSource> OpenAudioFile(const std::string& path, std::string& error) {
    auto source = std::make_unique<ReaderSource>();
    if (!source->open(path, error)) return nullptr;
    return source;
}

}  // namespace analysis
