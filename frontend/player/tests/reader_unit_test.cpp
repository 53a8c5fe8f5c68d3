// Checks of the player's file side: recognising files, walking WAVE chunks,
// MPEG frame headers and lengths, reading blocks and positioning by time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "player_fixtures.h"
#include "ui_host_recording.h"

using namespace player_test;

namespace {

constexpr std::size_t kBlockBytes = CAudioPlayer::REPLAY_BLOCK_BYTES;

class player_reader : public ::testing::Test {
protected:
    void SetUp() override { framework::set_ui_host(&host_); }
    void TearDown() override { framework::set_ui_host(nullptr); }

    // Reads blocks until the end of data, concatenated.
    std::string ReadAll(CAudioPlayer& player, int* blocks = nullptr) {
        std::string all;
        int count = 0;
        for (int i = 0; player.FillBuffer(i % CAudioPlayer::NUM_BUFFERS); ++i, ++count) {
            EXPECT_GT(player.GetBufferLength(i % 8), 0u);
            all.append(reinterpret_cast<const char*>(player.GetBufferData(i % 8)),
                       player.GetBufferLength(i % 8));
        }
        if (blocks) *blocks = count;
        return all;
    }

    framework::RecordingUiHost host_;
    TempDir dir_;
    CAudioPlayer player_;
};

TEST_F(player_reader, WaveReplaysFromItsDataToTheEndOfTheFile) {
    // A list chunk between the format and the data is skipped; the chunk after
    // the data is read as samples, since replay runs to the end of the file.
    const std::string samples = Pattern(150000);
    const std::string trailer = Chunk("LIST", "INFOISFT" + Le32(4) + "abcd");
    const std::string head = Riff(Chunk("fmt ", FormatBody(1, 2, 44100, 16)) +
                                  Chunk("LIST", Pattern(37, 2)) + "data" + Le32(150000));
    WriteFile(dir_ / "a.wav", head + samples + trailer);

    ASSERT_TRUE(player_.Open((dir_ / "a.wav").string()));
    EXPECT_TRUE(player_.IsOpen());
    EXPECT_EQ(player_.GetFileKind(), CAudioPlayer::FILE_KIND_WAVE);
    EXPECT_EQ(player_.GetDataStart(), head.size());
    const PcmWaveFormat& format = player_.GetPcmFormat();
    EXPECT_EQ(format.format_tag, 1);
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.samples_per_sec, 44100u);
    EXPECT_EQ(format.avg_bytes_per_sec, 176400u);
    EXPECT_EQ(format.block_align, 4);
    EXPECT_EQ(format.bits_per_sample, 16);

    int blocks = 0;
    const std::string read = ReadAll(player_, &blocks);
    // 150000 + 20 bytes: two full blocks and a third, whole sample frames only.
    EXPECT_EQ(blocks, 3);
    EXPECT_EQ(read, samples + trailer);
    EXPECT_FALSE(player_.FillBuffer(0));
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(player_reader, WaveBlocksHoldWholeSampleFramesAndLoseNothing) {
    // Every block ends on a sample frame, also when the frame size does not
    // divide the block size; only a partial frame at the very end is left out.
    struct Case {
        unsigned channels, bits;
        std::size_t whole_bytes, stray_bytes;
    };
    const Case cases[] = {
        {2, 16, 3 * kBlockBytes, 3},  // stereo, three stray bytes at the end
        {3, 16, 25000 * 6, 5},        // six-byte frames
        {3, 8, 50000 * 3, 0},         // three-byte frames
        {1, 16, 1001 * 2, 1},         // one odd byte after the last sample
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.bits << " bits");
        const std::string samples = Pattern(c.whole_bytes + c.stray_bytes, c.channels);
        WriteFile(dir_ / "frames.wav",
                  Riff(Chunk("fmt ", FormatBody(1, c.channels, 8000, c.bits)) + "data" +
                       Le32(static_cast<std::uint32_t>(samples.size()))) +
                      samples);
        ASSERT_TRUE(player_.Open((dir_ / "frames.wav").string()));
        const std::size_t align = c.channels * c.bits / 8;
        std::string read;
        for (int i = 0; player_.FillBuffer(i % 8); ++i) {
            EXPECT_EQ(player_.GetBufferLength(i % 8) % align, 0u);
            read.append(reinterpret_cast<const char*>(player_.GetBufferData(i % 8)),
                        player_.GetBufferLength(i % 8));
        }
        EXPECT_EQ(read, samples.substr(0, c.whole_bytes));
    }
}

TEST_F(player_reader, EmptyWaveOpensAndHasNoBlocks) {
    const std::string file = Riff(Chunk("fmt ", FormatBody(1, 1, 11000, 16)) + Chunk("data", ""));
    ASSERT_EQ(file.size(), 44u);
    WriteFile(dir_ / "empty.wav", file);
    ASSERT_TRUE(player_.Open((dir_ / "empty.wav").string()));
    EXPECT_FALSE(player_.FillBuffer(0));
    EXPECT_EQ(player_.GetBufferLength(0), 0u);
}

TEST_F(player_reader, WaveVariantsThatOpen) {
    struct Case {
        const char* what;
        std::string file;
        std::size_t data_start;
    };
    const std::string fmt18 = Chunk("fmt ", FormatBody(1, 1, 22050, 16, Le16(0)));
    const std::string fmt20 = Chunk("fmt ", FormatBody(1, 1, 22050, 16, Le16(2) + "xy"));
    const std::string fmt16 = Chunk("fmt ", FormatBody(1, 1, 22050, 8));
    const Case cases[] = {
        {"18-byte format chunk", Riff(fmt18 + Chunk("data", "abcd")), 12 + 26 + 8},
        {"20-byte format chunk", Riff(fmt20 + Chunk("data", "abcd")), 12 + 28 + 8},
        {"data ahead of the format is passed over",
         Riff(Chunk("data", "zz") + fmt16 + Chunk("data", "abcd")), 12 + 10 + 24 + 8},
        {"second format chunk is passed over",
         Riff(fmt16 + Chunk("fmt ", FormatBody(2, 1, 8000, 4)) + Chunk("data", "abcd")),
         12 + 24 + 24 + 8},
        {"odd-sized chunk, not padded", Riff(fmt16 + Chunk("junk", "123") + Chunk("data", "abcd")),
         12 + 24 + 11 + 8},
    };
    for (const Case& c : cases) {
        WriteFile(dir_ / "ok.wav", c.file);
        EXPECT_TRUE(player_.Open((dir_ / "ok.wav").string())) << c.what;
        EXPECT_EQ(player_.GetDataStart(), c.data_start) << c.what;
        ASSERT_TRUE(player_.FillBuffer(0)) << c.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(player_.GetBufferData(0)),
                              player_.GetBufferLength(0)),
                  "abcd")
            << c.what;
    }
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(player_reader, UnusableFilesAreRefusedSilently) {
    const std::string fmt = Chunk("fmt ", FormatBody(1, 1, 22050, 16));
    struct Case {
        const char* what;
        std::string file;
    };
    const Case cases[] = {
        {"format chunk of 40 bytes",
         Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 16, Pattern(24))) + Chunk("data", "abcd"))},
        {"format chunk of 14 bytes",
         Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 16).substr(0, 14)) + Chunk("data", "abcd"))},
        {"format tag 2", Riff(Chunk("fmt ", FormatBody(2, 1, 22050, 4)) + Chunk("data", "abcd"))},
        {"no data chunk", Riff(fmt + Chunk("LIST", "abcd"))},
        {"data only ahead of the format", Riff(Chunk("data", "abcd") + fmt)},
        {"no format chunk", Riff(Chunk("data", "abcd"))},
        {"format chunk cut short", Riff(fmt).substr(0, 30)},
        {"chunk size past the end", Riff(fmt + "LIST" + Le32(1000) + "ab" + Chunk("data", "abcd"))},
        {"chunk size of 4 GiB - 1", Riff(fmt + "LIST" + Le32(0xFFFFFFFFu) + Chunk("data", "abcd"))},
        {"chunk identifier cut short", Riff(fmt + "da")},
        {"RIFF without WAVE", "RIFF" + Le32(100) + "AVI " + fmt + Chunk("data", "abcd")},
        {"RIFF alone", "RIFF"},
        {"empty file", ""},
        {"text", "hello, world\n"},
        {"a lone 0xFF", "\xFF"},
        {"MPEG file behind a tag block", "ID3\x04" + std::string(6, '\0') + "\xFF\xFB\x90\xC4"},
    };
    for (const Case& c : cases) {
        const std::string path = (dir_ / "bad.wav").string();
        WriteFile(path, c.file);
        EXPECT_FALSE(player_.Open(path)) << c.what;
        EXPECT_FALSE(player_.IsOpen()) << c.what;
        EXPECT_EQ(player_.GetFileName(), path) << c.what;
        EXPECT_FALSE(player_.FillBuffer(0)) << c.what;
        EXPECT_FALSE(player_.Close()) << c.what;
    }
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(player_reader, FilesThatCannotBeOpenedAreReported) {
    const std::string missing = (dir_ / "missing.wav").string();
    EXPECT_FALSE(player_.Open(missing));
    EXPECT_EQ(player_.GetFileName(), missing);
    EXPECT_FALSE(player_.Open(dir_.path().string()));
    EXPECT_EQ(player_.GetFileName(), dir_.path().string());
    // A pipe with no writer must not hold the caller.
    const std::string fifo = (dir_ / "fifo.wav").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(player_.Open(fifo));
    EXPECT_EQ(host_.messages,
              (std::vector<std::string>{"Could not open '" + missing + "'",
                                        "Could not open '" + dir_.path().string() + "'",
                                        "Could not open '" + fifo + "'"}));
}

TEST_F(player_reader, OpeningAnotherFileClosesTheFirst) {
    WriteFile(dir_ / "one.wav",
              Riff(Chunk("fmt ", FormatBody(1, 1, 8000, 8)) + Chunk("data", "1111")));
    WriteFile(dir_ / "two.wav",
              Riff(Chunk("fmt ", FormatBody(1, 2, 16000, 16)) + Chunk("data", "22222222")));
    ASSERT_TRUE(player_.Open((dir_ / "one.wav").string()));
    ASSERT_TRUE(player_.Open((dir_ / "two.wav").string()));
    EXPECT_EQ(player_.GetPcmFormat().channels, 2);
    ASSERT_TRUE(player_.FillBuffer(3));
    EXPECT_EQ(player_.GetBufferLength(3), 8u);
    EXPECT_TRUE(player_.Close());
    EXPECT_FALSE(player_.Close());
    EXPECT_EQ(player_.GetFileName(), (dir_ / "two.wav").string());
}

TEST_F(player_reader, WaveSeekGoesToWholeSampleFrames) {
    const std::string head_mono =
        Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 16)) + "data" + Le32(0));
    WriteFile(dir_ / "mono.wav", head_mono + Pattern(22050 * 2 * 2));
    ASSERT_TRUE(player_.Open((dir_ / "mono.wav").string()));
    const std::uint64_t start = player_.GetDataStart();
    const std::uint64_t end = start + 22050 * 2 * 2;
    struct Case {
        double seconds;
        std::uint64_t position;
    };
    const Case cases[] = {
        {1.5, start + 66150},         {0.0, start}, {-3.0, start}, {1e-9, start},
        {1.99999, start + 2 * 44099}, {2.0, end},   {2.5, end},    {1e300, end},
        {std::nan(""), start},
    };
    for (const Case& c : cases) {
        player_.SeekToTime(c.seconds);
        EXPECT_EQ(player_.GetFilePosition(), c.position) << c.seconds;
    }
    player_.SeekToTime(1.5);
    EXPECT_DOUBLE_EQ(player_.GetPositionTime(), 1.5);
    player_.SeekToTime(2.5);
    EXPECT_FALSE(player_.FillBuffer(0));

    WriteFile(dir_ / "stereo.wav",
              Riff(Chunk("fmt ", FormatBody(1, 2, 8000, 16)) + "data" + Le32(0)) + Pattern(32000));
    ASSERT_TRUE(player_.Open((dir_ / "stereo.wav").string()));
    player_.SeekToTime(0.25);
    EXPECT_EQ(player_.GetFilePosition(), player_.GetDataStart() + 2000 * 4);
}

TEST(player_mpeg_header, DecodesHeadersAndFrameLengths) {
    struct Case {
        const char* what;
        std::uint8_t bytes[4];
        int bit_rate_kbps, rate_hz, length_bytes;
    };
    const Case cases[] = {
        {"MPEG-1 Layer III 128 kbit/s 44100 Hz", {0xFF, 0xFB, 0x90, 0xC4}, 128, 44100, 417},
        {"same, padded", {0xFF, 0xFB, 0x92, 0xC4}, 128, 44100, 418},
        {"same, with checksum", {0xFF, 0xFA, 0x90, 0x00}, 128, 44100, 417},
        {"MPEG-1 Layer III 320 kbit/s 48000 Hz", {0xFF, 0xFB, 0xE4, 0x00}, 320, 48000, 960},
        {"MPEG-1 Layer II 128 kbit/s 44100 Hz", {0xFF, 0xFD, 0x80, 0x00}, 128, 44100, 417},
        {"MPEG-1 Layer II 384 kbit/s 32000 Hz", {0xFF, 0xFD, 0xE8, 0x00}, 384, 32000, 1728},
        {"MPEG-1 Layer I 384 kbit/s 44100 Hz", {0xFF, 0xFE, 0xC0, 0x00}, 384, 44100, 416},
        {"same, padded", {0xFF, 0xFE, 0xC2, 0x00}, 384, 44100, 420},
        {"MPEG-2 Layer III 64 kbit/s 22050 Hz", {0xFF, 0xF3, 0x80, 0xC4}, 64, 22050, 208},
        {"MPEG-2 Layer III 8 kbit/s 24000 Hz", {0xFF, 0xF3, 0x14, 0xC4}, 8, 24000, 24},
        {"MPEG-2 Layer II 64 kbit/s 22050 Hz", {0xFF, 0xF5, 0x80, 0x00}, 64, 22050, 417},
        {"MPEG-2 Layer I 256 kbit/s 16000 Hz", {0xFF, 0xF7, 0xE8, 0x00}, 256, 16000, 768},
    };
    for (const Case& c : cases) {
        MpegFrameHeader header;
        ASSERT_TRUE(DecodeMpegFrameHeader(c.bytes, header)) << c.what;
        EXPECT_EQ(MpegBitRateKbps(header), c.bit_rate_kbps) << c.what;
        EXPECT_EQ(MpegSampleRateHz(header), c.rate_hz) << c.what;
        EXPECT_EQ(MpegFrameLengthBytes(header), c.length_bytes) << c.what;
    }
    MpegFrameHeader mono;
    const std::uint8_t mono_bytes[4] = {0xFF, 0xFB, 0x90, 0xC4};
    ASSERT_TRUE(DecodeMpegFrameHeader(mono_bytes, mono));
    EXPECT_EQ(mono.mode, 3);
    EXPECT_EQ(mono.version, 1);
    EXPECT_EQ(mono.layer, 1);
    EXPECT_EQ(mono.protection, 1);

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
        MpegFrameHeader header;
        EXPECT_FALSE(DecodeMpegFrameHeader(r.bytes, header)) << r.what;
    }
}

class player_mpeg_reader : public player_reader {
protected:
    void SetUp() override {
        player_reader::SetUp();
        if (!HaveLame()) GTEST_SKIP() << "the lame encoder is not installed";
    }
};

TEST_F(player_mpeg_reader, OpensAndDescribesTheStream) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 1.0));
    ASSERT_TRUE(player_.Open(mp3.string()));
    EXPECT_EQ(player_.GetFileKind(), CAudioPlayer::FILE_KIND_MPEG);

    const mpegcodec::SourceFormat& source = player_.GetMpegFormat();
    EXPECT_EQ(source.format_tag, 0x55);
    EXPECT_EQ(source.channels, 1);
    EXPECT_EQ(source.samples_per_sec, 44100u);
    EXPECT_EQ(source.avg_bytes_per_sec, 16000u);
    EXPECT_EQ(source.block_align, 1);
    EXPECT_EQ(source.extra_size, 12);
    EXPECT_EQ(source.id, 1);
    EXPECT_EQ(source.flags, 2u);
    EXPECT_EQ(source.block_size, 416);  // the encoder's first frame is not padded
    EXPECT_EQ(source.frames_per_block, 1);
    EXPECT_EQ(source.codec_delay, 700);

    const PcmWaveFormat& pcm = player_.GetPcmFormat();
    EXPECT_EQ(pcm.format_tag, 1);
    EXPECT_EQ(pcm.channels, 1);
    EXPECT_EQ(pcm.samples_per_sec, 44100u);
    EXPECT_EQ(pcm.bits_per_sample, 16);
    EXPECT_EQ(pcm.block_align, 2);
    EXPECT_EQ(pcm.avg_bytes_per_sec, 88200u);
    EXPECT_GT(player_.GetDestinationLength(), 2304u);
    EXPECT_LE(player_.GetDestinationLength(), CAudioPlayer::DESTINATION_BUFFER_BYTES);
}

TEST_F(player_mpeg_reader, EachBlockIsOneDecodedFrame) {
    struct Case {
        int rate_hz, channels, bit_rate_kbps;
        std::size_t frame_pcm_bytes;
    };
    const Case cases[] = {{44100, 2, 128, 4608}, {22050, 1, 32, 1152}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate_hz);
        const fs::path mp3 = dir_ / "sine.mp3";
        ASSERT_TRUE(EncodeSine(mp3, c.rate_hz, c.channels, c.bit_rate_kbps, 1.0));
        const std::string bytes = ReadFile(mp3);
        ASSERT_TRUE(player_.Open(mp3.string()));

        // Walk the frames independently of the player to know how many there are.
        std::size_t position = 0;
        int frames = 0;
        MpegFrameHeader header;
        while (position + 4 <= bytes.size() &&
               DecodeMpegFrameHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()) + position,
                                     header)) {
            position += static_cast<std::size_t>(MpegFrameLengthBytes(header));
            if (position <= bytes.size()) ++frames;
        }
        ASSERT_GT(frames, 20);

        int blocks = 0;
        const std::string pcm = ReadAll(player_, &blocks);
        EXPECT_EQ(blocks, frames);
        EXPECT_EQ(pcm.size(), static_cast<std::size_t>(frames) * c.frame_pcm_bytes);
        // Sound, not silence, in the middle.
        const auto* samples = reinterpret_cast<const std::int16_t*>(pcm.data());
        int loud = 0;
        for (std::size_t i = pcm.size() / 4; i < pcm.size() / 2; i += 2)
            if (std::abs(samples[i / 2]) > 5000) ++loud;
        EXPECT_GT(loud, 100);
    }
}

TEST_F(player_mpeg_reader, SeekLandsOnTheFrameHoldingTheTime) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 2.0));
    const std::string bytes = ReadFile(mp3);
    ASSERT_TRUE(player_.Open(mp3.string()));

    for (double seconds : {0.0, 0.01, 0.5, 1.0, 1.7}) {
        player_.SeekToTime(seconds);
        const std::uint64_t position = player_.GetFilePosition();
        ASSERT_LT(position + 4, bytes.size());
        MpegFrameHeader header;
        ASSERT_TRUE(DecodeMpegFrameHeader(
            reinterpret_cast<const std::uint8_t*>(bytes.data()) + position, header))
            << seconds;
        // The frame starts at or before the time and ends after it.
        const double frame_seconds = MpegFrameLengthBytes(header) * 8.0 / 128000.0;
        EXPECT_LE(player_.GetPositionTime(), seconds + 1e-9);
        EXPECT_GT(player_.GetPositionTime() + frame_seconds, seconds);
        EXPECT_TRUE(player_.FillBuffer(0));
        EXPECT_EQ(player_.GetBufferLength(0), 2304u);
    }
    // Seeking back to the start gives the same blocks as reading from the open.
    player_.SeekToTime(0.0);
    const std::string from_seek = ReadAll(player_);
    ASSERT_TRUE(player_.Open(mp3.string()));
    EXPECT_EQ(ReadAll(player_), from_seek);

    // Past the end: the position stays at the end and nothing more is read.
    player_.SeekToTime(100.0);
    EXPECT_EQ(player_.GetFilePosition(), bytes.size());
    EXPECT_FALSE(player_.FillBuffer(0));
}

TEST_F(player_mpeg_reader, DataEndAtATruncatedOrFreeFormatFrame) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 0.5, "-t"));
    const std::string bytes = ReadFile(mp3);
    // The first ten frames, then the eleventh cut short.
    std::size_t position = 0;
    MpegFrameHeader header;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(DecodeMpegFrameHeader(
            reinterpret_cast<const std::uint8_t*>(bytes.data()) + position, header));
        position += static_cast<std::size_t>(MpegFrameLengthBytes(header));
    }
    WriteFile(dir_ / "cut.mp3", bytes.substr(0, position + 100));
    ASSERT_TRUE(player_.Open((dir_ / "cut.mp3").string()));
    int blocks = 0;
    ReadAll(player_, &blocks);
    EXPECT_EQ(blocks, 10);

    // A free-format header after ten frames ends the data there.
    WriteFile(dir_ / "free.mp3",
              bytes.substr(0, position) + "\xFF\xFB\x00\xC4" + bytes.substr(position + 4));
    ASSERT_TRUE(player_.Open((dir_ / "free.mp3").string()));
    ReadAll(player_, &blocks);
    EXPECT_EQ(blocks, 10);
    // A start before the bad frame plays up to it; a start after it finds no
    // more data, as replay from the start does, rather than playing on from
    // the bad frame's time.
    player_.SeekToTime(0.1);
    ReadAll(player_, &blocks);
    EXPECT_EQ(blocks, 7);  // frames 3 to 9 (1152 samples, 26.1 ms each)
    player_.SeekToTime(0.4);
    EXPECT_FALSE(player_.FillBuffer(0));
    player_.SeekToTime(60.0);
    EXPECT_FALSE(player_.FillBuffer(0));
}

TEST_F(player_mpeg_reader, JunkAndFramesOfAnotherFormatArePassedOver) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 1.0, "-t"));
    const std::string bytes = ReadFile(mp3);
    std::vector<std::size_t> starts;
    MpegFrameHeader header;
    for (std::size_t position = 0;
         position + 4 <= bytes.size() &&
         DecodeMpegFrameHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()) + position,
                               header);
         position += static_cast<std::size_t>(MpegFrameLengthBytes(header)))
        starts.push_back(position);
    ASSERT_GT(starts.size(), 30u);

    // More junk than a frame after frame 5 and a few bytes after frame 15:
    // seeking counts only real frames and lands on the same frame, at the
    // same time, as in the clean file.
    std::string junk = bytes.substr(0, starts[5]) + std::string(1000, '\0') +
                       bytes.substr(starts[5], starts[15] - starts[5]) + std::string(3, '\0') +
                       bytes.substr(starts[15]);
    WriteFile(dir_ / "junk.mp3", junk);
    CAudioPlayer clean;
    ASSERT_TRUE(clean.Open(mp3.string()));
    ASSERT_TRUE(player_.Open((dir_ / "junk.mp3").string()));
    for (double seconds : {0.1, 0.2, 0.5, 0.9}) {
        SCOPED_TRACE(seconds);
        clean.SeekToTime(seconds);
        player_.SeekToTime(seconds);
        EXPECT_DOUBLE_EQ(player_.GetPositionTime(), clean.GetPositionTime());
        ASSERT_TRUE(DecodeMpegFrameHeader(
            reinterpret_cast<const std::uint8_t*>(junk.data()) + player_.GetFilePosition(),
            header));
        ASSERT_TRUE(clean.FillBuffer(0));
        ASSERT_TRUE(player_.FillBuffer(0));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(player_.GetBufferData(0)),
                              player_.GetBufferLength(0)),
                  std::string(reinterpret_cast<const char*>(clean.GetBufferData(0)),
                              clean.GetBufferLength(0)));
    }
    player_.SeekToTime(0.0);
    int blocks = 0;
    ReadAll(player_, &blocks);
    EXPECT_EQ(static_cast<std::size_t>(blocks), starts.size());

    // A frame that claims two channels in a mono file is left out, not played
    // as samples of the wrong layout.
    std::string foreign = bytes;
    foreign[starts[8] + 3] = static_cast<char>(foreign[starts[8] + 3] & 0x3F);
    WriteFile(dir_ / "foreign.mp3", foreign);
    ASSERT_TRUE(player_.Open((dir_ / "foreign.mp3").string()));
    const std::string pcm = ReadAll(player_, &blocks);
    EXPECT_EQ(static_cast<std::size_t>(blocks), starts.size() - 1);
    EXPECT_EQ(pcm.size(), (starts.size() - 1) * 2304);
}

TEST_F(player_reader, MpegFileWithoutAValidFirstHeaderIsReported) {
    struct Case {
        const char* what;
        std::string file;
    };
    const Case cases[] = {
        {"reserved layer", std::string("\xFF\xF9\x90\xC4") + Pattern(500)},
        {"filler bytes", std::string(600, '\xFF')},
        {"free format", std::string("\xFF\xFB\x00\xC4") + Pattern(500)},
        {"sync at the very end", "\xFF\xF0"},
    };
    for (const Case& c : cases) {
        host_.messages.clear();
        const std::string path = (dir_ / "bad.mp3").string();
        WriteFile(path, c.file);
        EXPECT_FALSE(player_.Open(path)) << c.what;
        EXPECT_FALSE(player_.IsOpen()) << c.what;
        EXPECT_EQ(host_.messages, std::vector<std::string>{"Format error on file '" + path + "'\n"})
            << c.what;
    }
}

}  // namespace
