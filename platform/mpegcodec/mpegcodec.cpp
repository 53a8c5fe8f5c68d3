// MPEG audio frames to 16-bit PCM through libmpg123, one whole frame per call.
#include "mpegcodec.h"

#include <mpg123.h>

#include <mutex>

namespace mpegcodec {

namespace {

bool is_mpeg1_rate(std::uint32_t rate_hz) {
    return rate_hz == 32000 || rate_hz == 44100 || rate_hz == 48000;
}

bool is_mpeg2_rate(std::uint32_t rate_hz) {
    return rate_hz == 16000 || rate_hz == 22050 || rate_hz == 24000;
}

// Whether the frame header at `frame` announces `rate_hz` and `channels`. The
// stream never changes its output format, so a frame of another format is
// refused here rather than handed to the decoder.
bool frame_matches(const std::uint8_t* frame, std::size_t frame_bytes, std::uint32_t rate_hz,
                   int channels) {
    static constexpr std::uint32_t kRatesHz[2][3] = {{22050, 24000, 16000},
                                                     {44100, 48000, 32000}};
    if (frame_bytes < 4 || frame[0] != 0xFF || (frame[1] & 0xF0) != 0xF0) return false;
    const int version = (frame[1] >> 3) & 1;
    const int rate_index = (frame[2] >> 2) & 3;
    if (rate_index == 3) return false;
    const int frame_channels = ((frame[3] >> 6) & 3) == 3 ? 1 : 2;
    return kRatesHz[version][rate_index] == rate_hz && frame_channels == channels;
}

void init_library_once() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

}  // namespace

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

std::unique_ptr<Stream> Stream::open(const SourceFormat& source, const PcmFormat& pcm,
                                     std::string* error) {
    auto fail = [error](const char* why) -> std::unique_ptr<Stream> {
        if (error) *error = why;
        return nullptr;
    };
    if (source.format_tag != WAVE_FORMAT_MPEGLAYER3) return fail("source is not MPEG audio");
    if (source.channels != 1 && source.channels != 2)
        return fail("MPEG audio has one or two channels");
    if (!is_mpeg1_rate(source.samples_per_sec) && !is_mpeg2_rate(source.samples_per_sec))
        return fail("sample rate is not an MPEG audio rate");
    if (pcm.format_tag != WAVE_FORMAT_PCM || pcm.bits_per_sample != 16)
        return fail("only 16-bit PCM output is offered");
    if (pcm.channels != source.channels || pcm.samples_per_sec != source.samples_per_sec)
        return fail("PCM output must keep the source's rate and channels");

    init_library_once();
    auto impl = std::make_unique<Impl>();
    int status = MPG123_OK;
    impl->handle = mpg123_new(nullptr, &status);
    if (!impl->handle) return fail(mpg123_plain_strerror(status));
    impl->channels = source.channels;
    impl->rate_hz = source.samples_per_sec;

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
