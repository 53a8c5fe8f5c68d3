// MPEG audio codec stream: converts one whole MPEG audio frame (Layer I, II or
// III) per call into signed 16-bit little-endian PCM of the same sample rate
// and channel count.
//
// The caller walks the file and hands over whole frames, header included; the
// stream keeps the decoder state between frames (Layer III reaches back into
// earlier frames) until reset(). A stream is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace mpegcodec {

// Format tag of MPEG audio sources, whatever their layer.
constexpr std::uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x55;
constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
constexpr std::uint16_t MPEGLAYER3_ID_MPEG = 1;
constexpr std::uint32_t MPEGLAYER3_FLAG_PADDING_OFF = 2;

// Description of the MPEG source, as the player fills it from the first frame.
struct SourceFormat {
    std::uint16_t format_tag = WAVE_FORMAT_MPEGLAYER3;
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint32_t avg_bytes_per_sec = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t extra_size = 0;
    std::uint16_t id = 0;
    std::uint32_t flags = 0;
    std::uint16_t block_size = 0;
    std::uint16_t frames_per_block = 0;
    std::uint16_t codec_delay = 0;
};

// The PCM the stream must produce.
struct PcmFormat {
    std::uint16_t format_tag = WAVE_FORMAT_PCM;
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint16_t bits_per_sample = 16;
};

// Most PCM bytes one frame can decode to (1152 samples, two channels, 16 bits).
constexpr std::size_t MAX_FRAME_PCM_BYTES = 1152 * 2 * 2;

class Stream {
public:
    // Opens a stream from `source` to `pcm`. Returns null and fills `error`
    // (one line) when no conversion between the two exists: the source must be
    // MPEG audio with one or two channels at an MPEG sample rate, and the PCM
    // 16-bit with the same rate and channel count.
    static std::unique_ptr<Stream> open(const SourceFormat& source, const PcmFormat& pcm,
                                        std::string* error);

    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The most PCM bytes that `source_bytes` bytes of MPEG frames of this
    // stream's format can produce (a bound, not an exact count).
    std::size_t destination_size(std::size_t source_bytes) const;

    // Converts one whole frame of `frame_bytes` bytes into `pcm`, which holds
    // `pcm_capacity` bytes. Returns the number of PCM bytes written (0 when the
    // frame carried no audio), or -1 when the frame could not be decoded, is of
    // another rate or channel count than the stream, or its PCM does not fit;
    // the stream stays usable for the next frame.
    long convert(const std::uint8_t* frame, std::size_t frame_bytes, std::uint8_t* pcm,
                 std::size_t pcm_capacity);

    // Forgets the decoder state, for a jump to another place in the file.
    void reset();

private:
    struct Impl;
    explicit Stream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace mpegcodec
