// Tests of the replay layer against the real MBROLA engine and the en1 voice.
#include "mbrplay.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "text_input.h"
#include "wav_probe.h"

namespace fs = std::filesystem;

namespace {

// A stuck engine must fail the run rather than hang it; alarms are not
// inherited by the engine children.
const unsigned kWatchdog = alarm(120);

const char* const kVoice = "/usr/share/mbrola/en1/en1";
// A short utterance of 565 ms.
const std::string kUtterance = "_ 100\nh 70\n@ 80 50 120\nl 65\n@U 150 0 117 100 109\n_ 100\n";
constexpr double kUtteranceMs = 565;
constexpr int kVoiceRateHz = 16000;

std::string error_text() {
    char text[512];
    MBR_LastError(text, sizeof text);
    return text;
}

class mbrplay_Layer : public ::testing::Test {
protected:
    void SetUp() override {
        (void)kWatchdog;
        MBR_MBRUnload();
        char pattern[] = "/tmp/mbrplay_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        MBR_MBRUnload();
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    // Entries of the test folder, to see that nothing was left behind.
    int entry_count() const {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(dir_)) count += entry.exists() ? 1 : 0;
        return count;
    }

    fs::path dir_;
};

TEST_F(mbrplay_Layer, RendersPhonemeTextIntoWav) {
    EXPECT_EQ(MBR_LastError(nullptr, 0), 0);
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    ASSERT_EQ(MBR_Play(kUtterance.c_str(), 0x840, path("out.wav").c_str(), nullptr), 0)
        << error_text();
    EXPECT_EQ(MBR_LastError(nullptr, 0), 0);

    const testutil::WavInfo wav = testutil::probe_wav(path("out.wav"));
    ASSERT_TRUE(wav.valid);
    EXPECT_EQ(wav.rate_hz, kVoiceRateHz);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.bits_per_sample, 16);
    EXPECT_NEAR(wav.duration_ms(), kUtteranceMs, kUtteranceMs * 0.05);
    // Only the output itself remains: the temporary file was renamed.
    EXPECT_EQ(entry_count(), 1);
}

TEST_F(mbrplay_Layer, RendersFilesAndScripts) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    // A script is read as text: CR LF lines, and nothing after the end mark
    // reaches the engine (the unknown phoneme there would fail the strict run).
    std::string crlf;
    for (char c : kUtterance) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write("a.pho", kUtterance);
    write("b.phs", crlf + "\x1AQQ 100\n");
    write("c.pho", crlf);

    struct Case {
        const char* input;
        int flags;
    };
    for (const Case& c : {Case{"a.pho", 0x860}, Case{"b.phs", 0xA60}, Case{"c.pho", 0x860}}) {
        SCOPED_TRACE(c.input);
        const std::string out = path(std::string(c.input) + ".wav");
        ASSERT_EQ(MBR_Play(path(c.input).c_str(), c.flags, out.c_str(), nullptr), 0)
            << error_text();
        const testutil::WavInfo wav = testutil::probe_wav(out);
        ASSERT_TRUE(wav.valid);
        EXPECT_NEAR(wav.duration_ms(), kUtteranceMs, kUtteranceMs * 0.05);
    }
}

TEST_F(mbrplay_Layer, FormatBitDecidesBetweenExtensionAndRawSamples) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    ASSERT_EQ(MBR_Play(kUtterance.c_str(), 0x040, path("raw.wav").c_str(), nullptr), 0)
        << error_text();
    const std::string raw = testutil::read_file(path("raw.wav"));
    EXPECT_NE(raw.compare(0, 4, "RIFF"), 0);
    EXPECT_NEAR(raw.size() / 2.0 / kVoiceRateHz * 1000, kUtteranceMs, kUtteranceMs * 0.05);

    ASSERT_EQ(MBR_Play(kUtterance.c_str(), 0x840, path("upper.WAV").c_str(), nullptr), 0)
        << error_text();
    EXPECT_TRUE(testutil::probe_wav(path("upper.WAV")).valid);
}

TEST_F(mbrplay_Layer, UnknownDiphoneFailsOnlyWhenStrictAndKeepsTheOldOutput) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    const std::string text = "_ 50\nQQ 100\n_ 50\n";
    write("keep.wav", "earlier output");

    EXPECT_EQ(MBR_Play(text.c_str(), 0x840, path("keep.wav").c_str(), nullptr), -1);
    EXPECT_EQ(MBR_LastError(nullptr, 0), -1);
    EXPECT_NE(error_text().find("QQ"), std::string::npos) << error_text();
    EXPECT_EQ(testutil::read_file(path("keep.wav")), "earlier output");
    EXPECT_EQ(entry_count(), 1);

    // Without the strict bit the engine bridges the gap, and success clears
    // the error held from before.
    EXPECT_EQ(MBR_Play(text.c_str(), 0x800, path("keep.wav").c_str(), nullptr), 0);
    EXPECT_EQ(MBR_LastError(nullptr, 0), 0);
    EXPECT_TRUE(testutil::probe_wav(path("keep.wav")).valid);
}

TEST_F(mbrplay_Layer, BadDatabasesAreRefusedWithTheEngineReport) {
    write("garbage", "this is not a voice database\n");
    fs::create_directory(path("folder"));
    for (const std::string& db : {path("missing"), path("garbage"), path("folder")}) {
        SCOPED_TRACE(db);
        EXPECT_EQ(MBR_SetDatabase(db.c_str()), -1);
        EXPECT_EQ(MBR_LastError(nullptr, 0), -1);
        EXPECT_FALSE(error_text().empty());
        // Nothing can be played without a database.
        EXPECT_EQ(MBR_Play(kUtterance.c_str(), 0x840, path("o.wav").c_str(), nullptr), -1);
        EXPECT_FALSE(fs::exists(path("o.wav")));
    }
    EXPECT_EQ(MBR_SetDatabase(path("missing").c_str()), -1);
    EXPECT_NE(error_text().find(path("missing")), std::string::npos) << error_text();
}

TEST_F(mbrplay_Layer, MissingEngineNamesItsPackage) {
    const std::string saved_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    setenv("PATH", dir_.c_str(), 1);
    const int result = MBR_SetDatabase(kVoice);
    const std::string text = error_text();
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_EQ(result, -1);
    EXPECT_NE(text.find("package 'mbrola'"), std::string::npos) << text;
}

TEST_F(mbrplay_Layer, MissingInputFileLeavesNothingBehind) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    for (int flags : {0x860, 0xA60}) {
        EXPECT_EQ(MBR_Play(path("none.pho").c_str(), flags, path("o.wav").c_str(), nullptr), -1);
        EXPECT_NE(error_text().find("none.pho"), std::string::npos) << error_text();
        EXPECT_EQ(entry_count(), 0);
    }
}

TEST_F(mbrplay_Layer, ErrorTextIsCutToTheBufferAndClearedByUnload) {
    EXPECT_EQ(MBR_Play(kUtterance.c_str(), 0x840, path("o.wav").c_str(), nullptr), -1);
    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(MBR_LastError(small, sizeof small), -1);
    EXPECT_EQ(std::string(small), error_text().substr(0, 4));
    char untouched = 'u';
    EXPECT_EQ(MBR_LastError(&untouched, 0), -1);
    EXPECT_EQ(untouched, 'u');

    MBR_MBRUnload();
    EXPECT_EQ(MBR_LastError(small, sizeof small), 0);
    EXPECT_EQ(std::string(small), "");
}

TEST_F(mbrplay_Layer, NamesThatLookLikeOptionsAreFiles) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    const fs::path saved = fs::current_path();
    fs::current_path(dir_);
    write("-in.pho", kUtterance);
    const int from_file = MBR_Play("-in.pho", 0x860, "-out.wav", nullptr);
    const int from_text = MBR_Play(kUtterance.c_str(), 0x840, "-", nullptr);
    fs::current_path(saved);
    EXPECT_EQ(from_file, 0) << error_text();
    EXPECT_EQ(from_text, 0) << error_text();
    EXPECT_TRUE(fs::exists(path("-out.wav")));
    EXPECT_TRUE(fs::exists(path("-")));
}

TEST_F(mbrplay_Layer, LongTextReachesTheEngineWhole) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    // Far more than a pipe holds: comment lines pad the text between two
    // utterances, and both must be heard.
    std::string text = kUtterance;
    while (text.size() < 200000) text += "; padding comment that the engine skips\n";
    text += kUtterance;
    ASSERT_EQ(MBR_Play(text.c_str(), 0x840, path("long.wav").c_str(), nullptr), 0) << error_text();
    EXPECT_NEAR(testutil::probe_wav(path("long.wav")).duration_ms(), 2 * kUtteranceMs,
                kUtteranceMs * 0.1);
}

TEST_F(mbrplay_Layer, RefusesACallbackAndMissingArguments) {
    ASSERT_EQ(MBR_SetDatabase(kVoice), 0) << error_text();
    const MBR_Callback callback = [](void*) {};
    EXPECT_EQ(MBR_Play(kUtterance.c_str(), 0x840, path("o.wav").c_str(), callback), -1);
    EXPECT_EQ(MBR_Play(nullptr, 0x840, path("o.wav").c_str(), nullptr), -1);
    EXPECT_EQ(MBR_Play(kUtterance.c_str(), 0x840, "", nullptr), -1);
    EXPECT_EQ(MBR_SetDatabase(""), -1);
    EXPECT_EQ(entry_count(), 0);
}

// The text rules: the end mark, CR LF pairs, and lone CRs.
TEST(mbrplay_Text, AppliesEndMarkAndLineEndRules) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\rb\r", "a\rb\r"},
        {"a\r\r\nb", "a\r\nb"},
        {"abc\x1A"
         "def",
         "abc"},
        {"ab\r\x1A\n", "ab\r"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mbrplay::text_from_bytes(c.bytes), c.text);
        std::FILE* stream = tmpfile();
        ASSERT_NE(stream, nullptr);
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), stream);
        std::rewind(stream);
        EXPECT_EQ(mbrplay::read_text_stream(stream), c.text);
        std::fclose(stream);
    }
    // A CR LF pair split across the reader's chunks is still one line end.
    std::string big(4095, 'x');
    std::FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    const std::string bytes = big + "\r\n" + big;
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    EXPECT_EQ(mbrplay::read_text_stream(stream), big + "\n" + big);
    std::fclose(stream);
}

}  // namespace
