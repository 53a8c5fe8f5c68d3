// MPEG audio frames to 16-bit PCM through libmpg123, one whole frame per call.
#include "mpegcodec.h"

#include <mpg123.h>

#include <mutex>

namespace mpegcodec {

namespace {

// Bit rates in kbit/s by bit-rate index 0 to 14 (ISO/IEC 11172-3 and 13818-3);
// index 0, free format, holds 0.
constexpr int kBitRatesMpeg1[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // Layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // Layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // Layer III
};
constexpr int kBitRatesMpeg2LayerI[15] = {0,   32,  48,  56,  64,  80,  96, 112,
                                          128, 144, 160, 176, 192, 224, 256};
constexpr int kBitRatesMpeg2LayerIIandIII[15] = {0,  8,  16, 24,  32,  40,  48, 56,
                                                 64, 80, 96, 112, 128, 144, 160};
constexpr int kSampleRatesHz[2][3] = {
    {22050, 24000, 16000},  // version 0, MPEG-2
    {44100, 48000, 32000},  // version 1, MPEG-1
};

constexpr int kLayerI = 3;
constexpr int kLayerII = 2;

bool is_mpeg1_rate(std::uint32_t rate_hz) {
    return rate_hz == 32000 || rate_hz == 44100 || rate_hz == 48000;
}

bool is_mpeg2_rate(std::uint32_t rate_hz) {
    return rate_hz == 16000 || rate_hz == 22050 || rate_hz == 24000;
}

// Whether the frame at `frame` announces `rate_hz` and `channels`. The stream
// never changes its output format, so a frame of another format is refused
// here rather than handed to the decoder.
bool frame_matches(const std::uint8_t* frame, std::size_t frame_bytes, std::uint32_t rate_hz,
                   int channels) {
    MpegFrameHeader header;
    if (frame_bytes < 4 || !decode_frame_header(frame, header)) return false;
    return static_cast<std::uint32_t>(sample_rate_hz(header)) == rate_hz &&
           channel_count(header) == channels;
}

void init_library_once() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

}  // namespace

bool is_frame_sync(const std::uint8_t* bytes) {
    return bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xF0;
}

bool decode_frame_header(const std::uint8_t* bytes, MpegFrameHeader& header) {
    const std::uint32_t word = (static_cast<std::uint32_t>(bytes[0]) << 24) |
                               (static_cast<std::uint32_t>(bytes[1]) << 16) |
                               (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
    if ((word >> 20) != 0xFFF) return false;
    header.version = (word >> 19) & 1;
    header.layer = (word >> 17) & 3;
    header.protection = (word >> 16) & 1;
    header.bitrate_index = (word >> 12) & 15;
    header.samplerate_index = (word >> 10) & 3;
    header.padding = (word >> 9) & 1;
    header.mode = (word >> 6) & 3;
    if (header.layer == 0 || header.bitrate_index == 15 || header.samplerate_index == 3)
        return false;
    // Two 0xFF bytes read as MPEG-1 Layer I without checksum; in practice they
    // are filler, not a frame.
    if (header.version == 1 && header.layer == kLayerI && header.protection == 1) return false;
    // A free-format frame has no length that can be computed from its header.
    if (header.bitrate_index == 0) return false;
    return true;
}

int bit_rate_kbps(const MpegFrameHeader& header) {
    if (header.version == 1) return kBitRatesMpeg1[3 - header.layer][header.bitrate_index];
    if (header.layer == kLayerI) return kBitRatesMpeg2LayerI[header.bitrate_index];
    return kBitRatesMpeg2LayerIIandIII[header.bitrate_index];
}

int sample_rate_hz(const MpegFrameHeader& header) {
    return kSampleRatesHz[header.version][header.samplerate_index];
}

int channel_count(const MpegFrameHeader& header) { return header.mode == 3 ? 1 : 2; }

int frame_length_bytes(const MpegFrameHeader& header) {
    const int rate_kbps = bit_rate_kbps(header);
    const int rate_hz = sample_rate_hz(header);
    // Layer I counts in four-byte slots of 384 samples; Layer II frames hold
    // 1152 samples in both versions; Layer III frames hold 1152 samples in
    // MPEG-1 and 576 in MPEG-2.
    if (header.layer == kLayerI) return (12000 * rate_kbps / rate_hz + header.padding) * 4;
    if (header.layer == kLayerII || header.version == 1)
        return 144000 * rate_kbps / rate_hz + header.padding;
    return 72000 * rate_kbps / rate_hz + header.padding;
}

int header_length_bytes(const MpegFrameHeader& header) { return header.protection ? 4 : 6; }

struct Stream::Impl {
    mpg123_handle* handle = nullptr;
    int channels = 0;
    std::uint32_t rate_hz = 0;

    ~Impl() {
        if (handle) {
            mpg123_close(handle);
            mpg123_delete(handle);
        }
    }
};

Stream::Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Stream::~Stream() = default;

std::unique_ptr<Stream> Stream::open(int rate_hz, int channels, std::string* error) {
    auto fail = [error](const char* why) -> std::unique_ptr<Stream> {
        if (error) *error = why;
        return nullptr;
    };
    if (channels != 1 && channels != 2) return fail("MPEG audio has one or two channels");
    const auto rate = static_cast<std::uint32_t>(rate_hz);
    if (rate_hz <= 0 || (!is_mpeg1_rate(rate) && !is_mpeg2_rate(rate)))
        return fail("sample rate is not an MPEG audio rate");

    init_library_once();
    auto impl = std::make_unique<Impl>();
    int status = MPG123_OK;
    impl->handle = mpg123_new(nullptr, &status);
    if (!impl->handle) return fail(mpg123_plain_strerror(status));
    impl->channels = channels;
    impl->rate_hz = rate;

    // Whole frames arrive one by one, so the decoder must not wait for the next
    // header before producing output, must not trim the encoder's delay, and
    // must decode an encoder's information frame like any other frame, so that
    // every frame yields its own samples. No resampling: the rate is fixed.
    const long flags =
        MPG123_QUIET | MPG123_NO_READAHEAD | MPG123_IGNORE_INFOFRAME | MPG123_FORCE_ENDIAN;
    if (mpg123_param(impl->handle, MPG123_FLAGS, flags, 0) != MPG123_OK ||
        mpg123_format_none(impl->handle) != MPG123_OK ||
        mpg123_format(impl->handle, static_cast<long>(impl->rate_hz),
                      impl->channels == 1 ? MPG123_MONO : MPG123_STEREO,
                      MPG123_ENC_SIGNED_16) != MPG123_OK ||
        mpg123_open_feed(impl->handle) != MPG123_OK)
        return fail(mpg123_strerror(impl->handle));
    return std::unique_ptr<Stream>(new Stream(std::move(impl)));
}

std::size_t Stream::destination_size(std::size_t source_bytes) const {
    // The densest frames carry 12 samples per byte at MPEG-1 rates (32 kbit/s)
    // and 24 at MPEG-2 rates (8 kbit/s); one more frame covers a partial one.
    const std::size_t samples_per_byte = is_mpeg1_rate(impl_->rate_hz) ? 12 : 24;
    const std::size_t samples = source_bytes * samples_per_byte + 1152;
    return samples * static_cast<std::size_t>(impl_->channels) * 2;
}

long Stream::convert(const std::uint8_t* frame, std::size_t frame_bytes, std::uint8_t* pcm,
                     std::size_t pcm_capacity) {
    if (!frame_matches(frame, frame_bytes, impl_->rate_hz, impl_->channels)) return -1;
    mpg123_handle* handle = impl_->handle;
    std::size_t written = 0;
    std::size_t done = 0;
    int status = mpg123_decode(handle, frame, frame_bytes, pcm, pcm_capacity, &done);
    written += done;
    // The first frame announces the output format; decoding goes on after it.
    while ((status == MPG123_NEW_FORMAT || status == MPG123_OK) && written < pcm_capacity) {
        status = mpg123_decode(handle, nullptr, 0, pcm + written, pcm_capacity - written, &done);
        written += done;
        if (status == MPG123_OK && done == 0) break;
    }
    if (written == pcm_capacity && (status == MPG123_OK || status == MPG123_NEW_FORMAT)) {
        // The buffer is full: any sample still pending means the frame does not
        // fit, and the rest must not leak into the next frame's output.
        std::uint8_t scratch[64];
        status = mpg123_decode(handle, nullptr, 0, scratch, sizeof scratch, &done);
        if (done > 0) {
            reset();
            return -1;
        }
    }
    if (status != MPG123_NEED_MORE && status != MPG123_OK) {
        // A broken frame: start the decoder afresh so the next frame stands alone.
        reset();
        return -1;
    }
    return static_cast<long>(written);
}

void Stream::reset() {
    // Reopening the feed drops buffered input and the decoder's history.
    mpg123_open_feed(impl_->handle);
}

}  // namespace mpegcodec
