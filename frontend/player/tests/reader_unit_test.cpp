// Checks of the player's file side: recognising files, walking WAVE chunks,
// reading blocks and positioning by time, all through CAudioReader's own
// contract.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "audio_reader.h"
#include "player_fixtures.h"

using namespace player_test;

namespace {

constexpr std::size_t kBlockBytes = CAudioReader::BLOCK_BYTES;

// The reader with a block buffer of its own, as a replay buffer would be.
class BlockReader : public CAudioReader {
public:
    BlockReader() : block_(kBlockBytes) {}
    // Opens `path`; the message it gives on failure is kept in `message`.
    bool Open(const std::string& path) { return CAudioReader::Open(path, message); }
    // Reads the next block; false at the end of the data.
    bool Next() {
        length_ = ReadBlock(block_.data(), block_.size());
        return length_ > 0;
    }
    std::string Block() const {
        return std::string(reinterpret_cast<const char*>(block_.data()), length_);
    }
    std::size_t Length() const { return length_; }
    // Reads blocks until the end of data, concatenated.
    std::string ReadAll(int* blocks = nullptr) {
        std::string all;
        int count = 0;
        for (; Next(); ++count) all += Block();
        if (blocks) *blocks = count;
        return all;
    }
    std::string message;

private:
    std::vector<std::uint8_t> block_;
    std::size_t length_ = 0;
};

class player_reader : public ::testing::Test {
protected:
    TempDir dir_;
    BlockReader player_;
};

// The frames of an MPEG file, walked apart from the reader: start offsets.
std::vector<std::size_t> FrameStarts(const std::string& bytes) {
    std::vector<std::size_t> starts;
    mpegcodec::MpegFrameHeader header;
    for (std::size_t position = 0;
         position + 4 <= bytes.size() &&
         mpegcodec::decode_frame_header(
             reinterpret_cast<const std::uint8_t*>(bytes.data()) + position, header);
         position += static_cast<std::size_t>(mpegcodec::frame_length_bytes(header)))
        if (position + static_cast<std::size_t>(mpegcodec::frame_length_bytes(header)) <=
            bytes.size())
            starts.push_back(position);
    return starts;
}

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
    EXPECT_EQ(player_.GetFileKind(), CAudioReader::FILE_KIND_WAVE);
    const PcmWaveFormat& format = player_.GetPcmFormat();
    EXPECT_EQ(format.format_tag, 1);
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.samples_per_sec, 44100u);
    EXPECT_EQ(format.avg_bytes_per_sec, 176400u);
    EXPECT_EQ(format.block_align, 4);
    EXPECT_EQ(format.bits_per_sample, 16);

    int blocks = 0;
    const std::string read = player_.ReadAll(&blocks);
    // 150000 + 20 bytes: two full blocks and a third, whole sample frames only;
    // the first byte read is the first byte after the data chunk's size.
    EXPECT_EQ(blocks, 3);
    EXPECT_EQ(read, samples + trailer);
    EXPECT_FALSE(player_.Next());
    EXPECT_EQ(player_.message, "");
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
        while (player_.Next()) {
            EXPECT_EQ(player_.Length() % align, 0u);
            read += player_.Block();
        }
        EXPECT_EQ(read, samples.substr(0, c.whole_bytes));
    }
}

TEST_F(player_reader, BlocksKeepWithinTheCapacityGiven) {
    // A caller with a smaller buffer gets smaller blocks, still of whole frames.
    const std::string samples = Pattern(6000);
    WriteFile(dir_ / "small.wav",
              Riff(Chunk("fmt ", FormatBody(1, 3, 8000, 16)) + Chunk("data", samples)));
    ASSERT_TRUE(player_.Open((dir_ / "small.wav").string()));
    std::vector<std::uint8_t> block(1000);
    std::string read;
    for (std::size_t got; (got = player_.ReadBlock(block.data(), block.size())) > 0;) {
        EXPECT_LE(got, 996u);
        EXPECT_EQ(got % 6, 0u);
        read.append(reinterpret_cast<const char*>(block.data()), got);
    }
    EXPECT_EQ(read, samples);
}

TEST_F(player_reader, EmptyWaveOpensAndHasNoBlocks) {
    const std::string file = Riff(Chunk("fmt ", FormatBody(1, 1, 11000, 16)) + Chunk("data", ""));
    ASSERT_EQ(file.size(), 44u);
    WriteFile(dir_ / "empty.wav", file);
    ASSERT_TRUE(player_.Open((dir_ / "empty.wav").string()));
    EXPECT_FALSE(player_.Next());
    EXPECT_EQ(player_.Length(), 0u);
}

TEST_F(player_reader, WaveVariantsThatOpen) {
    struct Case {
        const char* what;
        std::string file;
    };
    // Each file ends with its data "abcd", so the first block shows where the
    // reader found the samples.
    const std::string fmt18 = Chunk("fmt ", FormatBody(1, 1, 22050, 16, Le16(0)));
    const std::string fmt20 = Chunk("fmt ", FormatBody(1, 1, 22050, 16, Le16(2) + "xy"));
    const std::string fmt16 = Chunk("fmt ", FormatBody(1, 1, 22050, 8));
    const Case cases[] = {
        {"18-byte format chunk", Riff(fmt18 + Chunk("data", "abcd"))},
        {"20-byte format chunk", Riff(fmt20 + Chunk("data", "abcd"))},
        {"data ahead of the format is passed over",
         Riff(Chunk("data", "zz") + fmt16 + Chunk("data", "abcd"))},
        {"second format chunk is passed over",
         Riff(fmt16 + Chunk("fmt ", FormatBody(2, 1, 8000, 4)) + Chunk("data", "abcd"))},
        {"odd-sized chunk, not padded", Riff(fmt16 + Chunk("junk", "123") + Chunk("data", "abcd"))},
    };
    for (const Case& c : cases) {
        WriteFile(dir_ / "ok.wav", c.file);
        EXPECT_TRUE(player_.Open((dir_ / "ok.wav").string())) << c.what;
        ASSERT_TRUE(player_.Next()) << c.what;
        EXPECT_EQ(player_.Block(), "abcd") << c.what;
        EXPECT_EQ(player_.message, "") << c.what;
    }
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
        EXPECT_EQ(player_.message, "") << c.what;
        EXPECT_FALSE(player_.Next()) << c.what;
        EXPECT_FALSE(player_.Close()) << c.what;
    }
}

TEST_F(player_reader, FilesThatCannotBeOpenedAreReported) {
    const std::string missing = (dir_ / "missing.wav").string();
    EXPECT_FALSE(player_.Open(missing));
    EXPECT_EQ(player_.GetFileName(), missing);
    EXPECT_EQ(player_.message, "Could not open '" + missing + "'");
    EXPECT_FALSE(player_.Open(dir_.path().string()));
    EXPECT_EQ(player_.GetFileName(), dir_.path().string());
    EXPECT_EQ(player_.message, "Could not open '" + dir_.path().string() + "'");
    // A pipe with no writer must not hold the caller.
    const std::string fifo = (dir_ / "fifo.wav").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(player_.Open(fifo));
    EXPECT_EQ(player_.message, "Could not open '" + fifo + "'");
}

TEST_F(player_reader, OpeningAnotherFileClosesTheFirst) {
    WriteFile(dir_ / "one.wav",
              Riff(Chunk("fmt ", FormatBody(1, 1, 8000, 8)) + Chunk("data", "1111")));
    WriteFile(dir_ / "two.wav",
              Riff(Chunk("fmt ", FormatBody(1, 2, 16000, 16)) + Chunk("data", "22222222")));
    ASSERT_TRUE(player_.Open((dir_ / "one.wav").string()));
    ASSERT_TRUE(player_.Open((dir_ / "two.wav").string()));
    EXPECT_EQ(player_.GetPcmFormat().channels, 2);
    ASSERT_TRUE(player_.Next());
    EXPECT_EQ(player_.Block(), "22222222");
    EXPECT_TRUE(player_.Close());
    EXPECT_FALSE(player_.Close());
    EXPECT_EQ(player_.GetFileName(), (dir_ / "two.wav").string());
}

TEST_F(player_reader, WaveSeekGoesToWholeSampleFrames) {
    const std::string samples = Pattern(22050 * 2 * 2);
    const std::string head_mono =
        Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 16)) + "data" + Le32(0));
    WriteFile(dir_ / "mono.wav", head_mono + samples);
    ASSERT_TRUE(player_.Open((dir_ / "mono.wav").string()));
    const std::size_t end = samples.size();
    struct Case {
        double seconds;
        std::size_t offset;  // into the samples
    };
    const Case cases[] = {
        {1.5, 66150}, {0.0, 0},   {-3.0, 0},    {1e-9, 0},         {1.99999, 2 * 44099},
        {2.0, end},   {2.5, end}, {1e300, end}, {std::nan(""), 0},
    };
    for (const Case& c : cases) {
        player_.SeekToTime(c.seconds);
        EXPECT_EQ(player_.ReadAll(), samples.substr(c.offset)) << c.seconds;
    }
    player_.SeekToTime(1.5);
    EXPECT_DOUBLE_EQ(player_.GetPositionTime(), 1.5);
    player_.SeekToTime(2.5);
    EXPECT_FALSE(player_.Next());

    const std::string stereo = Pattern(32000);
    WriteFile(dir_ / "stereo.wav",
              Riff(Chunk("fmt ", FormatBody(1, 2, 8000, 16)) + "data" + Le32(0)) + stereo);
    ASSERT_TRUE(player_.Open((dir_ / "stereo.wav").string()));
    player_.SeekToTime(0.25);
    EXPECT_EQ(player_.ReadAll(), stereo.substr(2000 * 4));
}

class player_mpeg_reader : public player_reader {
protected:
    void SetUp() override {
        if (!HaveLame()) GTEST_SKIP() << "the lame encoder is not installed";
    }
};

TEST_F(player_mpeg_reader, OpensAndDescribesTheStream) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 1.0));
    ASSERT_TRUE(player_.Open(mp3.string()));
    EXPECT_EQ(player_.GetFileKind(), CAudioReader::FILE_KIND_MPEG);

    // The stream is described by its first frame: 128 kbit/s (16000 bytes per
    // second), mono, 44100 Hz, 417 bytes (the encoder's first frame is not
    // padded).
    const std::string bytes = ReadFile(mp3);
    mpegcodec::MpegFrameHeader first;
    ASSERT_TRUE(
        mpegcodec::decode_frame_header(reinterpret_cast<const std::uint8_t*>(bytes.data()), first));
    EXPECT_EQ(mpegcodec::bit_rate_kbps(first) * 1000 / 8, 16000);
    EXPECT_EQ(mpegcodec::channel_count(first), 1);
    EXPECT_EQ(mpegcodec::sample_rate_hz(first), 44100);
    EXPECT_EQ(mpegcodec::frame_length_bytes(first) - 1, 416);

    const PcmWaveFormat& pcm = player_.GetPcmFormat();
    EXPECT_EQ(pcm.format_tag, 1);
    EXPECT_EQ(pcm.channels, 1);
    EXPECT_EQ(pcm.samples_per_sec, 44100u);
    EXPECT_EQ(pcm.bits_per_sample, 16);
    EXPECT_EQ(pcm.block_align, 2);
    EXPECT_EQ(pcm.avg_bytes_per_sec, 88200u);
    // A whole decoded frame (1152 samples) fits in a block.
    ASSERT_TRUE(player_.Next());
    EXPECT_EQ(player_.Length(), 2304u);
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
        ASSERT_TRUE(player_.Open(mp3.string()));

        // Walk the frames independently of the reader to know how many there are.
        const int frames = static_cast<int>(FrameStarts(ReadFile(mp3)).size());
        ASSERT_GT(frames, 20);

        int blocks = 0;
        const std::string pcm = player_.ReadAll(&blocks);
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
    const std::vector<std::size_t> starts = FrameStarts(bytes);
    ASSERT_TRUE(player_.Open(mp3.string()));

    for (double seconds : {0.0, 0.01, 0.5, 1.0, 1.7}) {
        SCOPED_TRACE(seconds);
        // The frame that holds the time, by the frames' byte lengths.
        std::size_t frame = 0;
        double frame_start_s = 0.0;
        for (; frame + 1 < starts.size(); ++frame) {
            const double frame_s = (starts[frame + 1] - starts[frame]) * 8.0 / 128000.0;
            if (frame_start_s + frame_s > seconds) break;
            frame_start_s += frame_s;
        }
        player_.SeekToTime(seconds);
        EXPECT_NEAR(player_.GetPositionTime(), frame_start_s, 1e-9);
        EXPECT_LE(player_.GetPositionTime(), seconds + 1e-9);
        // Reading goes on from that frame: one whole frame per block to the end.
        ASSERT_TRUE(player_.Next());
        EXPECT_EQ(player_.Length(), 2304u);
        int blocks = 0;
        player_.ReadAll(&blocks);
        EXPECT_EQ(static_cast<std::size_t>(blocks) + 1, starts.size() - frame);
    }
    // Seeking back to the start gives the same blocks as reading from the open.
    player_.SeekToTime(0.0);
    const std::string from_seek = player_.ReadAll();
    ASSERT_TRUE(player_.Open(mp3.string()));
    EXPECT_EQ(player_.ReadAll(), from_seek);

    // Past the end: nothing more is read.
    player_.SeekToTime(100.0);
    EXPECT_FALSE(player_.Next());
}

TEST_F(player_mpeg_reader, DataEndAtATruncatedOrFreeFormatFrame) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 0.5, "-t"));
    const std::string bytes = ReadFile(mp3);
    // The first ten frames, then the eleventh cut short.
    const std::size_t position = FrameStarts(bytes).at(10);
    WriteFile(dir_ / "cut.mp3", bytes.substr(0, position + 100));
    ASSERT_TRUE(player_.Open((dir_ / "cut.mp3").string()));
    int blocks = 0;
    player_.ReadAll(&blocks);
    EXPECT_EQ(blocks, 10);

    // A free-format header after ten frames ends the data there.
    WriteFile(dir_ / "free.mp3",
              bytes.substr(0, position) + "\xFF\xFB\x00\xC4" + bytes.substr(position + 4));
    ASSERT_TRUE(player_.Open((dir_ / "free.mp3").string()));
    player_.ReadAll(&blocks);
    EXPECT_EQ(blocks, 10);
    // A start before the bad frame plays up to it; a start after it finds no
    // more data, as replay from the start does, rather than playing on from
    // the bad frame's time.
    player_.SeekToTime(0.1);
    player_.ReadAll(&blocks);
    EXPECT_EQ(blocks, 7);  // frames 3 to 9 (1152 samples, 26.1 ms each)
    player_.SeekToTime(0.4);
    EXPECT_FALSE(player_.Next());
    player_.SeekToTime(60.0);
    EXPECT_FALSE(player_.Next());
}

TEST_F(player_mpeg_reader, JunkAndFramesOfAnotherFormatArePassedOver) {
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 44100, 1, 128, 1.0, "-t"));
    const std::string bytes = ReadFile(mp3);
    const std::vector<std::size_t> starts = FrameStarts(bytes);
    ASSERT_GT(starts.size(), 30u);

    // More junk than a frame after frame 5 and a few bytes after frame 15:
    // seeking counts only real frames and lands on the same frame, at the
    // same time, as in the clean file.
    std::string junk = bytes.substr(0, starts[5]) + std::string(1000, '\0') +
                       bytes.substr(starts[5], starts[15] - starts[5]) + std::string(3, '\0') +
                       bytes.substr(starts[15]);
    WriteFile(dir_ / "junk.mp3", junk);
    BlockReader clean;
    ASSERT_TRUE(clean.Open(mp3.string()));
    ASSERT_TRUE(player_.Open((dir_ / "junk.mp3").string()));
    for (double seconds : {0.1, 0.2, 0.5, 0.9}) {
        SCOPED_TRACE(seconds);
        clean.SeekToTime(seconds);
        player_.SeekToTime(seconds);
        EXPECT_DOUBLE_EQ(player_.GetPositionTime(), clean.GetPositionTime());
        ASSERT_TRUE(clean.Next());
        ASSERT_TRUE(player_.Next());
        EXPECT_EQ(player_.Block(), clean.Block());
        int clean_rest = 0, junk_rest = 0;
        clean.ReadAll(&clean_rest);
        player_.ReadAll(&junk_rest);
        EXPECT_EQ(junk_rest, clean_rest);
    }
    player_.SeekToTime(0.0);
    int blocks = 0;
    player_.ReadAll(&blocks);
    EXPECT_EQ(static_cast<std::size_t>(blocks), starts.size());

    // A frame that claims two channels in a mono file is left out, not played
    // as samples of the wrong layout.
    std::string foreign = bytes;
    foreign[starts[8] + 3] = static_cast<char>(foreign[starts[8] + 3] & 0x3F);
    WriteFile(dir_ / "foreign.mp3", foreign);
    ASSERT_TRUE(player_.Open((dir_ / "foreign.mp3").string()));
    const std::string pcm = player_.ReadAll(&blocks);
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
        const std::string path = (dir_ / "bad.mp3").string();
        WriteFile(path, c.file);
        EXPECT_FALSE(player_.Open(path)) << c.what;
        EXPECT_FALSE(player_.IsOpen()) << c.what;
        EXPECT_EQ(player_.message, "Format error on file '" + path + "'\n") << c.what;
    }
}

}  // namespace
