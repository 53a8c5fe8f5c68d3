// Checks of the MPEG codec stream on frames encoded by the lame program.
#include "mpegcodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Encodes `seconds` of a 440 Hz sine as Layer III with lame; empty when lame
// is missing or fails.
std::vector<std::uint8_t> EncodeSine(const fs::path& dir, int rate_hz, int channels,
                                     int bit_rate_kbps, double seconds) {
    if (std::system("command -v lame >/dev/null 2>&1") != 0) return {};
    const fs::path raw = dir / "sine.raw";
    const fs::path mp3 = dir / "sine.mp3";
    {
        std::ofstream out(raw, std::ios::binary);
        const int frames = static_cast<int>(seconds * rate_hz);
        for (int i = 0; i < frames; ++i) {
            const auto sample =
                static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 440.0 * i / rate_hz));
            for (int c = 0; c < channels; ++c) {
                out.put(static_cast<char>(sample & 0xFF));
                out.put(static_cast<char>((sample >> 8) & 0xFF));
            }
        }
    }
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, "%g", rate_hz / 1000.0);
    const std::string command = "lame --quiet -r -s " + std::string(rate_text) +
                                " --bitwidth 16 --signed --little-endian -m " +
                                (channels == 1 ? "m" : "s") + " -b " +
                                std::to_string(bit_rate_kbps) + " --cbr '" + raw.string() + "' '" +
                                mp3.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(mp3, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Splits a constant-bit-rate Layer III file into whole frames (the encoder
// writes no tag in front and none between frames).
std::vector<std::vector<std::uint8_t>> SplitLayer3Frames(const std::vector<std::uint8_t>& file) {
    static const int kMpeg1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kMpeg2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int kRates[2][3] = {{22050, 24000, 16000}, {44100, 48000, 32000}};
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t pos = 0;
    while (pos + 4 <= file.size() && file[pos] == 0xFF && (file[pos + 1] & 0xE0) == 0xE0) {
        if ((file[pos + 2] >> 4) == 15 || ((file[pos + 2] >> 2) & 3) == 3) break;
        const int version = (file[pos + 1] >> 3) & 1;
        const int index = file[pos + 2] >> 4;
        const int bit_rate = version ? kMpeg1[index] : kMpeg2[index];
        const int rate = kRates[version][(file[pos + 2] >> 2) & 3];
        const int padding = (file[pos + 2] >> 1) & 1;
        const std::size_t length = (version ? 144000 : 72000) * bit_rate / rate + padding;
        if (length < 4 || pos + length > file.size()) break;
        frames.emplace_back(file.begin() + static_cast<long>(pos),
                            file.begin() + static_cast<long>(pos + length));
        pos += length;
    }
    return frames;
}

class mpegcodec_stream : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("mpegcodec_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<mpegcodec::Stream> OpenStream(int rate_hz, int channels) {
        std::string error;
        auto stream = mpegcodec::Stream::open(rate_hz, channels, &error);
        EXPECT_TRUE(stream) << error;
        return stream;
    }

    fs::path dir_;
};

TEST_F(mpegcodec_stream, RefusesConversionsItCannotDo) {
    struct Case {
        const char* what;
        int rate_hz, channels;
    };
    const Case cases[] = {
        {"three channels", 44100, 3},
        {"no channels", 44100, 0},
        {"not an MPEG rate", 11025, 1},
        {"no rate", 0, 1},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(mpegcodec::Stream::open(c.rate_hz, c.channels, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(mpegcodec_header, DecodesHeadersAndFrameLengths) {
    struct Case {
        const char* what;
        std::uint8_t bytes[4];
        int bit_rate_kbps, rate_hz, channels, length_bytes;
    };
    const Case cases[] = {
        {"MPEG-1 Layer III 128 kbit/s 44100 Hz", {0xFF, 0xFB, 0x90, 0xC4}, 128, 44100, 1, 417},
        {"same, padded", {0xFF, 0xFB, 0x92, 0xC4}, 128, 44100, 1, 418},
        {"same, with checksum", {0xFF, 0xFA, 0x90, 0x00}, 128, 44100, 2, 417},
        {"MPEG-1 Layer III 320 kbit/s 48000 Hz", {0xFF, 0xFB, 0xE4, 0x00}, 320, 48000, 2, 960},
        {"MPEG-1 Layer II 128 kbit/s 44100 Hz", {0xFF, 0xFD, 0x80, 0x00}, 128, 44100, 2, 417},
        {"MPEG-1 Layer II 384 kbit/s 32000 Hz", {0xFF, 0xFD, 0xE8, 0x00}, 384, 32000, 2, 1728},
        {"MPEG-1 Layer I 384 kbit/s 44100 Hz", {0xFF, 0xFE, 0xC0, 0x00}, 384, 44100, 2, 416},
        {"same, padded", {0xFF, 0xFE, 0xC2, 0x00}, 384, 44100, 2, 420},
        {"MPEG-2 Layer III 64 kbit/s 22050 Hz", {0xFF, 0xF3, 0x80, 0xC4}, 64, 22050, 1, 208},
        {"MPEG-2 Layer III 8 kbit/s 24000 Hz", {0xFF, 0xF3, 0x14, 0xC4}, 8, 24000, 1, 24},
        {"MPEG-2 Layer II 64 kbit/s 22050 Hz", {0xFF, 0xF5, 0x80, 0x00}, 64, 22050, 2, 417},
        {"MPEG-2 Layer I 256 kbit/s 16000 Hz", {0xFF, 0xF7, 0xE8, 0x00}, 256, 16000, 2, 768},
    };
    for (const Case& c : cases) {
        mpegcodec::MpegFrameHeader header;
        ASSERT_TRUE(mpegcodec::is_frame_sync(c.bytes)) << c.what;
        ASSERT_TRUE(mpegcodec::decode_frame_header(c.bytes, header)) << c.what;
        EXPECT_EQ(mpegcodec::bit_rate_kbps(header), c.bit_rate_kbps) << c.what;
        EXPECT_EQ(mpegcodec::sample_rate_hz(header), c.rate_hz) << c.what;
        EXPECT_EQ(mpegcodec::channel_count(header), c.channels) << c.what;
        EXPECT_EQ(mpegcodec::frame_length_bytes(header), c.length_bytes) << c.what;
    }
    mpegcodec::MpegFrameHeader mono;
    const std::uint8_t mono_bytes[4] = {0xFF, 0xFB, 0x90, 0xC4};
    ASSERT_TRUE(mpegcodec::decode_frame_header(mono_bytes, mono));
    EXPECT_EQ(mono.mode, 3);
    EXPECT_EQ(mono.version, 1);
    EXPECT_EQ(mono.layer, 1);
    EXPECT_EQ(mono.protection, 1);
    EXPECT_EQ(mpegcodec::header_length_bytes(mono), 4);
    const std::uint8_t checked_bytes[4] = {0xFF, 0xFA, 0x90, 0x00};
    ASSERT_TRUE(mpegcodec::decode_frame_header(checked_bytes, mono));
    EXPECT_EQ(mpegcodec::header_length_bytes(mono), 6);

    const struct {
        const char* what;
        std::uint8_t bytes[4];
    } refused[] = {
        {"no sync", {0xFF, 0xEB, 0x90, 0xC4}},
        {"reserved layer", {0xFF, 0xF9, 0x90, 0xC4}},
        {"bit-rate index 15", {0xFF, 0xFB, 0xF0, 0xC4}},
        {"sample-rate index 3", {0xFF, 0xFB, 0x9C, 0xC4}},
        {"MPEG-1 Layer I without checksum (filler bytes)", {0xFF, 0xFF, 0x90, 0x00}},
        {"free format", {0xFF, 0xFB, 0x00, 0xC4}},
    };
    for (const auto& r : refused) {
        mpegcodec::MpegFrameHeader header;
        EXPECT_FALSE(mpegcodec::decode_frame_header(r.bytes, header)) << r.what;
    }
    const std::uint8_t no_sync[2] = {0xFF, 0xEB};
    EXPECT_FALSE(mpegcodec::is_frame_sync(no_sync));
}

TEST_F(mpegcodec_stream, EveryFrameYieldsItsOwnSamplesAtOnce) {
    struct Case {
        int rate_hz, channels, bit_rate_kbps;
        std::size_t pcm_bytes_per_frame;
    };
    // MPEG-1 frames hold 1152 samples, MPEG-2 Layer III frames 576.
    const Case cases[] = {{44100, 1, 128, 1152 * 2},
                          {48000, 2, 192, 1152 * 4},
                          {22050, 1, 64, 576 * 2},
                          {16000, 2, 32, 576 * 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate_hz);
        const auto file = EncodeSine(dir_, c.rate_hz, c.channels, c.bit_rate_kbps, 0.5);
        if (file.empty()) GTEST_SKIP() << "the lame encoder is not installed";
        const auto frames = SplitLayer3Frames(file);
        ASSERT_GT(frames.size(), 10u);
        auto stream = OpenStream(c.rate_hz, c.channels);
        ASSERT_TRUE(stream);
        EXPECT_GE(stream->destination_size(frames[0].size()), c.pcm_bytes_per_frame);

        std::vector<std::uint8_t> pcm(65536);
        std::vector<std::int16_t> samples;
        // The encoder's information frame comes first and decodes like any
        // other frame, so every frame, the first included, gives a full frame.
        for (const auto& frame : frames) {
            const long got = stream->convert(frame.data(), frame.size(), pcm.data(), pcm.size());
            ASSERT_EQ(got, static_cast<long>(c.pcm_bytes_per_frame));
            for (long i = 0; i + 1 < got; i += 2 * c.channels)
                samples.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)));
        }
        // The decoded signal is the sine: count its rising zero crossings over
        // the middle of the signal (clear of the encoder's start and end).
        const std::size_t begin = samples.size() / 4, end = samples.size() * 3 / 4;
        int crossings = 0;
        double energy = 0;
        for (std::size_t i = begin + 1; i < end; ++i) {
            if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
            energy += static_cast<double>(samples[i]) * samples[i];
        }
        const double seconds = static_cast<double>(end - begin) / c.rate_hz;
        EXPECT_NEAR(crossings / seconds, 440.0, 15.0);
        const double rms = std::sqrt(energy / static_cast<double>(end - begin));
        EXPECT_NEAR(rms, 10000 / std::sqrt(2.0), 1000.0);
    }
}

TEST_F(mpegcodec_stream, RecoversAfterABadFrameOrATooSmallBuffer) {
    const auto file = EncodeSine(dir_, 44100, 2, 128, 0.5);
    if (file.empty()) GTEST_SKIP() << "the lame encoder is not installed";
    const auto frames = SplitLayer3Frames(file);
    ASSERT_GT(frames.size(), 13u);
    auto stream = OpenStream(44100, 2);
    ASSERT_TRUE(stream);
    std::vector<std::uint8_t> pcm(65536);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(stream->convert(frames[i].data(), frames[i].size(), pcm.data(), pcm.size()),
                  4608);

    // A frame whose PCM does not fit is refused whole; nothing of it spills
    // into the next frame's output.
    EXPECT_EQ(stream->convert(frames[5].data(), frames[5].size(), pcm.data(), 1000), -1);
    EXPECT_EQ(stream->convert(frames[6].data(), frames[6].size(), pcm.data(), pcm.size()), 4608);

    // Exactly the frame's size fits.
    EXPECT_EQ(stream->convert(frames[7].data(), frames[7].size(), pcm.data(), 4608), 4608);

    // A frame of noise after a valid header fails or decodes to at most one
    // frame; the following frames decode in full.
    std::vector<std::uint8_t> broken = frames[8];
    for (std::size_t i = 4; i < broken.size(); ++i) broken[i] = static_cast<std::uint8_t>(i * 37);
    const long got = stream->convert(broken.data(), broken.size(), pcm.data(), pcm.size());
    EXPECT_TRUE(got == -1 || got == 0 || got == 4608) << got;
    for (int i = 9; i < 12; ++i)
        EXPECT_EQ(stream->convert(frames[i].data(), frames[i].size(), pcm.data(), pcm.size()),
                  4608);

    // Frames of another rate or channel count are refused, not converted.
    std::vector<std::uint8_t> other_rate = frames[12];
    other_rate[2] = static_cast<std::uint8_t>((other_rate[2] & ~0x0C) | 0x04);  // 48000 Hz
    EXPECT_EQ(stream->convert(other_rate.data(), other_rate.size(), pcm.data(), pcm.size()), -1);
    std::vector<std::uint8_t> mono = frames[12];
    mono[3] = static_cast<std::uint8_t>(mono[3] | 0xC0);
    EXPECT_EQ(stream->convert(mono.data(), mono.size(), pcm.data(), pcm.size()), -1);
    EXPECT_EQ(stream->convert(frames[12].data(), frames[12].size(), pcm.data(), pcm.size()), 4608);

    // After a reset (a jump in the file) a later frame decodes on its own.
    stream->reset();
    EXPECT_EQ(stream->convert(frames[3].data(), frames[3].size(), pcm.data(), pcm.size()), 4608);
}

TEST_F(mpegcodec_stream, DestinationSizeBoundsTheDensestFrames) {
    // 32 kbit/s at 48000 Hz (MPEG-1): 96-byte frames of 1152 samples; 8 kbit/s
    // at 24000 Hz (MPEG-2): 24-byte frames of 576 samples.
    auto mpeg1 = OpenStream(48000, 2);
    ASSERT_TRUE(mpeg1);
    EXPECT_GE(mpeg1->destination_size(4096), (4096 / 96 + 1) * 1152 * 4u);
    auto mpeg2 = OpenStream(24000, 1);
    ASSERT_TRUE(mpeg2);
    EXPECT_GE(mpeg2->destination_size(4096), (4096 / 24 + 1) * 576 * 2u);
}

}  // namespace
