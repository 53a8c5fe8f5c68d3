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

// The decoded fields of one four-byte MPEG audio frame header (bit 31 is the
// first bit of the first byte).
struct MpegFrameHeader {
    int version = 0;           // bit 19: 1 MPEG-1, 0 MPEG-2
    int layer = 0;             // bits 18-17: 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int protection = 0;        // bit 16: 0 means a 16-bit checksum follows the header
    int bitrate_index = 0;     // bits 15-12: 0 to 15
    int samplerate_index = 0;  // bits 11-10: 0 to 3
    int padding = 0;           // bit 9: 1 adds one slot to the frame
    int mode = 0;              // bits 7-6: 3 single channel, else two channels
};

// Whether the two bytes at `bytes` begin a frame (0xFF, then four set bits).
bool is_frame_sync(const std::uint8_t* bytes);
// Decodes the four header bytes at `bytes`. False without a sync, for a
// reserved layer, bit-rate index 15 or sample-rate index 3, for MPEG-1 Layer I
// without checksum (two 0xFF bytes: filler) and for free format, whose length
// cannot be computed from the header.
bool decode_frame_header(const std::uint8_t* bytes, MpegFrameHeader& header);
// Bit rate in kbit/s, sample rate in Hz and channel count of a decoded header.
int bit_rate_kbps(const MpegFrameHeader& header);
int sample_rate_hz(const MpegFrameHeader& header);
int channel_count(const MpegFrameHeader& header);
// Length in bytes of the whole frame, header and checksum included.
int frame_length_bytes(const MpegFrameHeader& header);
// Bytes before the frame's audio data: the header and its checksum, if any.
int header_length_bytes(const MpegFrameHeader& header);

// Most PCM bytes one frame can decode to (1152 samples, two channels, 16 bits).
constexpr std::size_t MAX_FRAME_PCM_BYTES = 1152 * 2 * 2;

class Stream {
public:
    // Opens a stream of MPEG frames of `rate_hz` and `channels` (those of the
    // first frame) to 16-bit PCM of the same rate and channel count. Returns
    // null and fills `error` (one line) when no such conversion exists: one or
    // two channels at an MPEG sample rate.
    static std::unique_ptr<Stream> open(int rate_hz, int channels, std::string* error);

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
