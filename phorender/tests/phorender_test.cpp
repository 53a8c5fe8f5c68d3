// Tests of the phorender program: the real binary, the real MBROLA engine and
// the en1 voice, with WAV outputs opened and measured.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "input_flags.h"
#include "run_program.h"
#include "wav_probe.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TALORIA_BIN_DIR) + "/phorender";
const std::string kVoice = "/usr/share/mbrola/en1/en1";
const std::string kUsage = "usage: phorender database in.pho out.wav\n";
const std::string kUtterance = "_ 100\nh 70\n@ 80 50 120\nl 65\n@U 150 0 117 100 109\n_ 100\n";
constexpr double kUtteranceMs = 565;
constexpr int kFailureStatus = 255;

class phorender_Program : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/phorender_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    testutil::ProgramRun phorender(const std::vector<std::string>& args,
                                   const std::string& input = {}) const {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run_program(argv, input);
    }
    // A successful run prints nothing and leaves a 16 kHz mono WAV of the
    // expected length.
    void expect_rendered(const testutil::ProgramRun& run, const std::string& wav_path,
                         double expected_ms) const {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        const testutil::WavInfo wav = testutil::probe_wav(wav_path);
        ASSERT_TRUE(wav.valid) << wav_path;
        EXPECT_EQ(wav.rate_hz, 16000);
        EXPECT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.bits_per_sample, 16);
        EXPECT_NEAR(wav.duration_ms(), expected_ms, expected_ms * 0.05);
    }
    void expect_library_error(const testutil::ProgramRun& run, const std::string& detail) const {
        EXPECT_EQ(run.status, kFailureStatus);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("Mbrplay Error :\n", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(detail), std::string::npos) << run.err;
        EXPECT_EQ(run.err.back(), '\n');
    }

    fs::path dir_;
};

TEST_F(phorender_Program, FewerThanThreeArgumentsPrintTheUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {kVoice}, {kVoice, path("in.pho")}}) {
        const testutil::ProgramRun run = phorender(args);
        EXPECT_EQ(run.status, kFailureStatus);
        EXPECT_EQ(run.err, kUsage);
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(phorender_Program, HelpAndVersionGoToStandardOutput) {
    const testutil::ProgramRun help = phorender({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(kUsage, 0), 0u);
    const testutil::ProgramRun version = phorender({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("phorender ", 0), 0u);
    EXPECT_EQ(version.err, "");
}

TEST_F(phorender_Program, RendersPhonemeAndScriptFiles) {
    std::string crlf;
    for (char c : kUtterance) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write("speech.pho", kUtterance);
    // The script's end mark hides an unknown phoneme that would fail the run.
    write("speech.phs", crlf + "\x1AQQ 100\n");
    for (const char* input : {"speech.pho", "speech.phs"}) {
        SCOPED_TRACE(input);
        const std::string out = path(std::string(input) + ".wav");
        expect_rendered(phorender({kVoice, path(input), out}), out, kUtteranceMs);
    }
}

TEST_F(phorender_Program, ReadsStandardInputAsTextUpToTheEndMark) {
    expect_rendered(phorender({kVoice, "-", path("plain.wav")}, kUtterance), path("plain.wav"),
                    kUtteranceMs);

    std::string crlf;
    for (char c : kUtterance) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    expect_rendered(phorender({kVoice, "-", path("marked.wav")}, crlf + "\x1AQQ 100\n"),
                    path("marked.wav"), kUtteranceMs);
}

TEST_F(phorender_Program, LongStandardInputReachesTheEngineWhole) {
    // Well over 32000 bytes, with the second utterance at the very end.
    std::string text = kUtterance;
    while (text.size() < 80000) text += "; a comment line that the engine reads and skips\n";
    text += kUtterance;
    ASSERT_GT(text.size(), 32000u);
    expect_rendered(phorender({kVoice, "-", path("long.wav")}, text), path("long.wav"),
                    2 * kUtteranceMs);
}

TEST_F(phorender_Program, MissingDatabaseFailsBeforeWritingAnything) {
    write("speech.pho", kUtterance);
    for (const char* input : {"speech.pho", "-"}) {
        SCOPED_TRACE(input);
        const std::string in = std::string(input) == "-" ? input : path(input);
        const testutil::ProgramRun run =
            phorender({path("no-such-voice"), in, path("out.wav")}, kUtterance);
        expect_library_error(run, path("no-such-voice"));
        EXPECT_FALSE(fs::exists(path("out.wav")));
    }
}

TEST_F(phorender_Program, AFailedWriteIsAnErrorAndKeepsTheOldOutput) {
    write("speech.pho", kUtterance);
    // A full device: every input form ends with the reason.
    for (const char* input : {"speech.pho", "-"}) {
        SCOPED_TRACE(input);
        const std::string in = std::string(input) == "-" ? input : path(input);
        expect_library_error(phorender({kVoice, in, "/dev/full"}, kUtterance),
                             "Cannot write '/dev/full': No space left on device");
    }
    // A device that takes the data still works, and so does a link to a file.
    EXPECT_EQ(phorender({kVoice, path("speech.pho"), "/dev/null"}).status, 0);
    fs::create_symlink(path("target.wav"), path("link.wav"));
    expect_rendered(phorender({kVoice, path("speech.pho"), path("link.wav")}), path("target.wav"),
                    kUtteranceMs);

    // An output that cannot be written (a folder) keeps what it holds.
    fs::create_directories(path("folder.wav"));
    write("folder.wav/keep", "old");
    expect_library_error(phorender({kVoice, path("speech.pho"), path("folder.wav")}),
                         "Cannot write '" + path("folder.wav") + "'");
    EXPECT_TRUE(fs::is_directory(path("folder.wav")));
    EXPECT_EQ(fs::file_size(path("folder.wav/keep")), 3u);
    // Nothing is left behind in the output's folder.
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_NE(entry.path().filename().string().rfind(".", 0), 0u) << entry.path();
}

TEST_F(phorender_Program, AFolderAsInputIsAnError) {
    fs::create_directories(path("phonemes.pho"));
    write("out.wav", "old output");
    expect_library_error(
        phorender({kVoice, path("phonemes.pho"), path("out.wav")}),
        "Cannot read the phoneme file '" + path("phonemes.pho") + "': Is a directory");
    std::ifstream in(path("out.wav"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old output");
}

TEST_F(phorender_Program, ArgumentsAfterTheThirdAreIgnored) {
    write("speech.pho", kUtterance);
    expect_rendered(phorender({kVoice, path("speech.pho"), path("out.wav"), "extra", "--help"}),
                    path("out.wav"), kUtteranceMs);
}

TEST_F(phorender_Program, UnknownPhonemeIsAnError) {
    const testutil::ProgramRun run =
        phorender({kVoice, "-", path("out.wav")}, "_ 50\nQQ 100\n_ 50\n");
    expect_library_error(run, "QQ");
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(phorender_Program, MissingEngineIsReportedWithItsPackage) {
    write("speech.pho", kUtterance);
    const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    setenv("PATH", dir_.c_str(), 1);
    const testutil::ProgramRun run = phorender({kVoice, path("speech.pho"), path("out.wav")});
    setenv("PATH", saved.c_str(), 1);
    expect_library_error(run, "package 'mbrola'");
}

TEST_F(phorender_Program, RendersWhatEspeakWritesForTheEn1Voice) {
    const testutil::ProgramRun phonemes =
        testutil::run_program({"/usr/bin/espeak-ng", "-v", "mb-en1", "-q", "--pho",
                               "The quick brown fox jumps over the lazy dog."},
                              {});
    ASSERT_EQ(phonemes.status, 0) << phonemes.err;
    const double expected_ms = testutil::phoneme_duration_ms(phonemes.out);
    ASSERT_GT(expected_ms, 1000);
    expect_rendered(phorender({kVoice, "-", path("fox.wav")}, phonemes.out), path("fox.wav"),
                    expected_ms);
}

TEST(phorender_Flags, OnlyAnExactPhsExtensionMarksAScript) {
    struct Case {
        const char* name;
        int flags;
    };
    for (const Case& c : {Case{"a.phs", 0xA60}, Case{"dir/b.pho", 0x860}, Case{"c.PHS", 0x860},
                          Case{"noextension", 0x860}, Case{"x.phs.pho", 0x860},
                          Case{"dir.phs/file", 0x860}, Case{"x.phsx", 0x860}}) {
        EXPECT_EQ(phorender::flags_for_input_file(c.name), c.flags) << c.name;
    }
}

}  // namespace
