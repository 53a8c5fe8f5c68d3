// Output sink: WAV and raw files written and read back, sample conversion
// with overload status, replay buffer growth and the fatal paths.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"
#include "zir.h"

namespace {

std::uint32_t u32_at(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

unsigned u16_at(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return unsigned(bytes[at]) | unsigned(bytes[at + 1]) << 8;
}

std::string text_at(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::string(bytes.begin() + long(at), bytes.begin() + long(at) + 4);
}

std::vector<std::int16_t> samples_from(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = at; i + 1 < bytes.size(); i += 2)
        samples.push_back(std::int16_t(u16_at(bytes, i)));
    return samples;
}

// A frame of `n` samples whose stored values differ from frame to frame.
std::vector<float> test_frame(int frame, int n) {
    auto samples = std::vector<float>(std::size_t(n));
    for (int i = 0; i < n; ++i)
        samples[std::size_t(i)] = float((frame * 131 + i * 17) % 8000 - 4000) + 0.75f;
    return samples;
}

// What the sink stores for test_frame's values: four times the integer part.
std::vector<std::int16_t> stored_frame(int frame, int n) {
    std::vector<std::int16_t> stored;
    for (float x : test_frame(frame, n)) stored.push_back(std::int16_t(4 * long(x)));
    return stored;
}

// Writes `frames` frames of `n` samples to `name` through the whole sink.
void write_file(const std::string& name, int frames, int n) {
    output_file_name = name.c_str();
    output_overload = 0;
    const int fd = open_output_file();
    ASSERT_GE(fd, 0);
    for (int f = 0; f < frames; ++f) write_output_frame(fd, test_frame(f, n).data(), n);
    close_output_file(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor left open";
    output_file_name = nullptr;
}

TEST(speechlib_wav, HeaderOfAnEmptyOutputStatesZeroData) {
    temp_dir dir;
    const std::string name = dir.file("out.wav");
    write_file(name, 0, 110);
    const auto bytes = read_bytes(name);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(text_at(bytes, 0), "RIFF");
    EXPECT_EQ(u32_at(bytes, 4), 36u);
    EXPECT_EQ(text_at(bytes, 8), "WAVE");
    EXPECT_EQ(text_at(bytes, 12), "fmt ");
    EXPECT_EQ(u32_at(bytes, 16), 16u);
    EXPECT_EQ(u16_at(bytes, 20), 1u);
    EXPECT_EQ(u16_at(bytes, 22), 1u);
    EXPECT_EQ(u32_at(bytes, 24), 11000u);
    EXPECT_EQ(u32_at(bytes, 28), 22000u);
    EXPECT_EQ(u16_at(bytes, 32), 2u);
    EXPECT_EQ(u16_at(bytes, 34), 16u);
    EXPECT_EQ(text_at(bytes, 36), "data");
    EXPECT_EQ(u32_at(bytes, 40), 0u);
}

TEST(speechlib_wav, FramesReadBackWithSizesCompletedAtClose) {
    temp_dir dir;
    struct shape {
        int frames, n;
    };
    for (const shape s : {shape{1, 110}, shape{3, 110}, shape{7, 112}, shape{2, 600}}) {
        const std::string name = dir.file("out.wav");
        write_file(name, s.frames, s.n);
        const auto bytes = read_bytes(name);
        const std::uint32_t data_bytes = std::uint32_t(2 * s.frames * s.n);
        ASSERT_EQ(bytes.size(), 44 + data_bytes);
        EXPECT_EQ(u32_at(bytes, 4), 36 + data_bytes);
        EXPECT_EQ(u32_at(bytes, 40), data_bytes);
        std::vector<std::int16_t> expected;
        for (int f = 0; f < s.frames; ++f) {
            const auto frame = stored_frame(f, s.n);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(samples_from(bytes, 44), expected) << s.frames << " frames of " << s.n;
    }
}

TEST(speechlib_wav, OnlyExactWavEndingsGetAHeader) {
    temp_dir dir;
    std::filesystem::create_directories(dir.file("dir.d"));
    struct naming {
        const char* name;
        bool wav;
    };
    const naming names[] = {
        {"a.wav", true},   {"a.WAV", true}, {".wav", true},     {"a.Wav", false},
        {"a.wv", false},   {"a", false},    {"dir.d/a", false}, {"a.wav.bak", false},
        {"a.wavx", false}, {"a.", false},
    };
    const auto frame = stored_frame(0, 110);
    for (const naming& n : names) {
        EXPECT_EQ(zir_is_wav_name(n.name), n.wav) << n.name;
        const std::string path = dir.file(n.name);
        write_file(path, 1, 110);
        const auto bytes = read_bytes(path);
        const std::size_t header = n.wav ? 44 : 0;
        ASSERT_EQ(bytes.size(), header + 220) << n.name;
        // Raw files hold exactly the data part of a WAV file.
        EXPECT_EQ(samples_from(bytes, header), frame) << n.name;
    }
}

TEST(speechlib_wav, ExistingFileIsTruncatedAndMadeReadable) {
    temp_dir dir;
    const std::string name = dir.file("old.wav");
    std::ofstream(name) << std::string(5000, 'z');
    chmod(name.c_str(), 0600);
    write_file(name, 1, 110);
    EXPECT_EQ(read_bytes(name).size(), 44u + 220u);
    const std::string fresh = dir.file("new.raw");
    const mode_t old_mask = umask(022);
    write_file(fresh, 1, 10);
    umask(old_mask);
    EXPECT_EQ(std::filesystem::status(fresh).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0644));
}

TEST(speechlib_wav, ConvertsSamplesAndKeepsTheLastOverloadKind) {
    struct conversion {
        float in;
        std::int16_t out;
        int overload;  // -1: left alone
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const conversion cases[] = {
        {1000.5f, 4000, -1},
        {-2.75f, -8, -1},
        {0.0f, 0, -1},
        {-0.99f, 0, -1},
        {8191.9f, 32764, -1},
        {-8192.0f, -32768, -1},
        {-8192.9f, -32768, -1},
        // Four-times values beyond 16 bits are limited, never wrapped, and a
        // limited (clipped) sample is an overload.
        {8192.0f, 32767, 1},
        {-8193.0f, -32768, 1},
        {16383.0f, 32767, 1},
        {-16383.0f, -32768, 1},
        {16383.5f, 32767, 1},
        {20000.0f, 32767, 1},
        {-20000.0f, -32768, 1},
        {32767.0f, 32767, 1},
        {32767.5f, 0, 2},
        {40000.0f, 0, 2},
        {-40000.0f, 0, 2},
        {inf, 0, 2},
        {-inf, 0, 2},
        {nan, 0, 2},
    };
    for (const conversion& c : cases) {
        int overload = -1;
        EXPECT_EQ(zir_convert_sample(c.in, &overload), c.out) << c.in;
        EXPECT_EQ(overload, c.overload) << c.in;
    }

    // Through the sink: the status holds the kind of the last overloaded sample.
    temp_dir dir;
    const std::string name = dir.file("o.raw");
    struct sequence {
        std::vector<float> samples;
        int overload;
    };
    const sequence sequences[] = {
        {{1.0f, 2.0f}, 0},
        {{40000.0f, 5.0f, 20000.0f, 3.0f}, 1},
        {{20000.0f, -40000.0f, 3.0f}, 2},
    };
    for (const sequence& s : sequences) {
        output_file_name = name.c_str();
        output_overload = 0;
        const int fd = open_output_file();
        write_output_frame(fd, s.samples.data(), int(s.samples.size()));
        close_output_file(fd);
        EXPECT_EQ(output_overload, s.overload);
    }
    output_file_name = nullptr;
    output_overload = 0;
}

TEST(speechlib_replay, BufferGrowsInStepsAndKeepsItsContents) {
    output_file_name = nullptr;
    ASSERT_EQ(open_output_file(), -1);
    ASSERT_NE(replay_buffer, nullptr);
    EXPECT_EQ(replay_capacity_samples, 32768);
    EXPECT_EQ(replay_count_samples, 0);
    for (int i = 0; i < 32768; ++i) ASSERT_EQ(replay_buffer[i], 0) << "not zero-filled at " << i;

    // Frames of 128 samples: the 256th would end exactly at the capacity, so
    // the buffer grows before it is stored.
    std::vector<std::int16_t> expected;
    for (int f = 0; f < 600; ++f) {
        const int capacity_before = replay_capacity_samples;
        write_output_frame(-1, test_frame(f, 128).data(), 128);
        const auto frame = stored_frame(f, 128);
        expected.insert(expected.end(), frame.begin(), frame.end());
        const int expected_capacity =
            (f + 1) * 128 >= capacity_before ? capacity_before + 32768 : capacity_before;
        ASSERT_EQ(replay_capacity_samples, expected_capacity) << "frame " << f;
        ASSERT_LT(replay_count_samples, replay_capacity_samples);
    }
    EXPECT_EQ(replay_capacity_samples, 3 * 32768);
    ASSERT_EQ(replay_count_samples, 600 * 128);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), replay_buffer));

    // One very large block grows by as many steps as it needs.
    std::vector<float> large(100000, 1.25f);
    write_output_frame(-1, large.data(), int(large.size()));
    EXPECT_EQ(replay_count_samples, 600 * 128 + 100000);
    EXPECT_EQ(replay_capacity_samples, 6 * 32768);
    EXPECT_EQ(replay_buffer[replay_count_samples - 1], 4);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), replay_buffer));

    // Opening again starts a new, empty buffer.
    open_output_file();
    EXPECT_EQ(replay_count_samples, 0);
    EXPECT_EQ(replay_capacity_samples, 32768);
}

void write_one_frame_to(const char* name) {
    output_file_name = name;
    const int fd = open_output_file();
    const float frame[4] = {1, 2, 3, 4};
    write_output_frame(fd, frame, 4);
    close_output_file(fd);
}

void write_past_the_wav_limit(const std::string& name) {
    output_file_name = name.c_str();
    const int fd = open_output_file();
    output_data_bytes = zir_wav_max_data_bytes - 2;
    const float frame[1] = {1};
    write_output_frame(fd, frame, 1);  // fits exactly
    write_output_frame(fd, frame, 1);
}

TEST(speechlib_wav, FailuresAreFatalWithTheFileName) {
    temp_dir dir;
    const std::string missing = dir.file("no/such/dir/out.wav");
    EXPECT_EXIT(
        {
            output_file_name = missing.c_str();
            open_output_file();
        },
        testing::ExitedWithCode(1), "^parvox: could not open output file '" + missing + "'\n$");

    // A full disk, while writing the samples of a raw file...
    EXPECT_EXIT(write_one_frame_to("/dev/full"), testing::ExitedWithCode(1),
                "^parvox: write error on '/dev/full'\n$");

    // ...and while writing the header of a WAV file.
    const std::string link = dir.file("full.wav");
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    EXPECT_EXIT(
        {
            output_file_name = link.c_str();
            open_output_file();
        },
        testing::ExitedWithCode(1), "^parvox: write error on '" + link + "'\n$");
}

TEST(speechlib_wav, RefusesToGrowPastTheWavSizeLimit) {
    temp_dir dir;
    const std::string wav = dir.file("big.wav");
    const std::string raw = dir.file("big.raw");
    EXPECT_EXIT(write_past_the_wav_limit(wav), testing::ExitedWithCode(1),
                "^parvox: output file '.*big.wav' would exceed the 4 GiB size limit");
    const float frame[2] = {1, 2};

    // Raw files have no size field, so they have no such limit.
    output_file_name = raw.c_str();
    const int fd = open_output_file();
    output_data_bytes = zir_wav_max_data_bytes;
    write_output_frame(fd, frame, 2);
    close_output_file(fd);
    output_file_name = nullptr;
    EXPECT_EQ(read_bytes(raw).size(), 4u);
}

TEST(speechlib_wav, HeaderOfAPipeStaysAsWritten) {
    // A WAV stream on a pipe cannot be rewound; its header keeps the
    // creation sizes and closing is not an error.
    temp_dir dir;
    const std::string fifo = dir.file("stream.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    output_file_name = fifo.c_str();
    const int fd = open_output_file();
    const float frame[3] = {1, 2, 3};
    write_output_frame(fd, frame, 3);
    close_output_file(fd);
    output_file_name = nullptr;
    std::uint8_t bytes[64];
    const ssize_t got = ::read(reader, bytes, sizeof bytes);
    ::close(reader);
    ASSERT_EQ(got, 50);
    const std::vector<std::uint8_t> all(bytes, bytes + got);
    EXPECT_EQ(u32_at(all, 40), 0u);
    EXPECT_EQ(samples_from(all, 44), (std::vector<std::int16_t>{4, 8, 12}));
}

}  // namespace

TEST(speechlib_wav, BlocksReachAPipeAsTheyFillAndTheRestAtClose) {
    temp_dir dir;
    const std::string fifo = dir.file("stream.raw");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(fcntl(reader, F_SETPIPE_SZ, 1 << 20), 1 << 20);
    output_file_name = fifo.c_str();
    const int fd = open_output_file();
    // Frames of 110 samples filling one block and six frames more: the reader
    // sees exactly the full block before the end, the rest after it.
    const int frames = int(zir_output_block_bytes / 220) + 6;
    std::vector<std::int16_t> expected;
    for (int f = 0; f < frames; ++f) {
        write_output_frame(fd, test_frame(f, 110).data(), 110);
        const auto frame = stored_frame(f, 110);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    std::vector<std::uint8_t> got(1 << 20);
    const ssize_t first = ::read(reader, got.data(), got.size());
    EXPECT_EQ(first, ssize_t(zir_output_block_bytes));
    close_output_file(fd);
    output_file_name = nullptr;
    const ssize_t rest = ::read(reader, got.data() + first, got.size() - std::size_t(first));
    ::close(reader);
    ASSERT_EQ(rest, ssize_t(frames * 220 - zir_output_block_bytes));
    got.resize(std::size_t(first + rest));
    EXPECT_EQ(samples_from(got, 0), expected);
}
