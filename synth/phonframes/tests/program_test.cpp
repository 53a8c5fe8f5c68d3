// Whole-program tests: text through espeak-ng, phonframes and parvox, the
// shipped configuration's command chain, and the program's own refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string BIN = TALORIA_BIN_DIR;
const std::string APPDATA = std::string(TALORIA_SOURCE_DIR) + "/frontend/appdata";
constexpr int FRAME_SAMPLES = 110;  // parvox's samples per 10 ms frame

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PhonframesProgram : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("phonframes_test_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "config");
        fs::create_directories(dir_ / "html");
        fs::copy_file(APPDATA + "/config/english.rules", dir_ / "config/english.rules");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs a shell command in the test folder with `input` on standard input.
    run_result run(const std::string& command, const std::string& input = "") {
        std::ofstream(dir_ / "stdin", std::ios::binary) << input;
        const std::string line = "cd '" + dir_.string() + "' && PATH='" + BIN + "':\"$PATH\" " +
                                 "sh -c '" + command + "' < stdin > stdout 2> stderr";
        const int raw = std::system(line.c_str());
        run_result result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = read_file(dir_ / "stdout");
        result.err = read_file(dir_ / "stderr");
        return result;
    }

    fs::path dir_;
};

// Sum of the durations of MBROLA phoneme lines.
double total_ms(const std::string& phonemes) {
    double total = 0;
    std::size_t pos = 0;
    while (pos < phonemes.size()) {
        std::size_t end = phonemes.find('\n', pos);
        if (end == std::string::npos) end = phonemes.size();
        char name[64];
        double ms = 0;
        const std::string line = phonemes.substr(pos, end - pos);
        if (line[0] != ';' && std::sscanf(line.c_str(), "%63s %lf", name, &ms) == 2) total += ms;
        pos = end + 1;
    }
    return total;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    return std::uint32_t(std::uint8_t(bytes[at])) |
           std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

TEST_F(PhonframesProgram, TextBecomesSpeechOfThePhonemesLengthWithoutOverload) {
    // Loud open vowels, sibilants, stops and a question's high pitch.
    const std::string text =
        "Father watched the large dark car pass by. Is that a shiny new saucepan? "
        "Papa, are all our cats awake at dawn?";
    const run_result phonemes = run("espeak-ng -v mb-en1 -q --pho --stdin", text);
    ASSERT_EQ(phonemes.status, 0) << phonemes.err;
    std::ofstream(dir_ / "text.pho") << phonemes.out;

    const run_result speech = run("phonframes text.pho | parvox -o speech.wav");
    ASSERT_EQ(speech.status, 0) << speech.err;
    EXPECT_EQ(speech.err.find("overload"), std::string::npos) << speech.err;
    EXPECT_EQ(speech.err, "");
    const std::string wav = read_file(dir_ / "speech.wav");
    ASSERT_GT(wav.size(), 44u);
    const long frames = std::lround(total_ms(phonemes.out) / 10);
    EXPECT_NEAR(double(le32(wav, 40)) / 2, double(frames * FRAME_SAMPLES), FRAME_SAMPLES);
}

TEST_F(PhonframesProgram, ShippedConfigurationChainSpeaks) {
    // The commands of config/3parvox_formant_voice.txt, fed as the workbench
    // feeds a stage: phonemes, then a 0x1A byte.
    const std::string config = read_file(APPDATA + "/config/3parvox_formant_voice.txt");
    ASSERT_NE(config.find("\nphonframes -r config/english.rules - $TEXT\n"), std::string::npos);
    ASSERT_NE(config.find("\nparvox -o html/formant.wav $ARG(html/formant.wav)\n"),
              std::string::npos);
    const run_result phonemes = run("espeak-ng -v mb-en1 -q --pho --stdin", "Hello world.");
    ASSERT_EQ(phonemes.status, 0);
    const run_result frames =
        run("phonframes -r config/english.rules -", phonemes.out + "\x1a" + "garbage 10\n");
    ASSERT_EQ(frames.status, 0) << frames.err;
    EXPECT_EQ(frames.err, "");
    EXPECT_EQ(frames.out.rfind("* h ", 0), 0u) << frames.out.substr(0, 40);
    EXPECT_EQ(frames.out.find("garbage"), std::string::npos);
    const run_result speech = run("parvox -o html/formant.wav", frames.out + "\x1a");
    ASSERT_EQ(speech.status, 0) << speech.err;
    EXPECT_EQ(speech.err, "");
    EXPECT_GT(read_file(dir_ / "html/formant.wav").size(), 44u + 2 * 11000 / 2);
}

TEST_F(PhonframesProgram, BrokenRuleFileStopsBeforeAnyOutput) {
    std::ofstream(dir_ / "bad.rules") << "phoneme a vowel\n  target F1=700 A1=99\n";
    const run_result result = run("phonframes -r bad.rules -o out.txt", "a 100\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "phonframes: bad.rules: line 2: field 'A1': '99' is outside 0..63\n");
    EXPECT_FALSE(fs::exists(dir_ / "out.txt"));
    const run_result missing = run("phonframes -r none.rules", "a 100\n");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("none.rules: cannot open the rule file"), std::string::npos);
}

TEST_F(PhonframesProgram, WarnsAboutUnknownPhonemesAndMalformedLines) {
    const run_result result = run("phonframes", "_ 50\nA: 100\nx 30\nt -4\n_ 50\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "phonframes: line 4: bad duration '-4' for 't', line skipped\n"
              "phonframes: line 3: unknown phoneme 'x', spoken as silence\n");
    int frames = 0;
    for (char ch : result.out) frames += ch == '\n';
    EXPECT_EQ(frames, 23 + 4);  // 230 ms of frames and four comment lines
}

TEST_F(PhonframesProgram, HelpVersionAndBadOptions) {
    const run_result help = run("phonframes --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: phonframes [-r rulefile] [-o outfile] [infile|-]"),
              std::string::npos);
    const run_result version = run("phonframes --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("phonframes ", 0), 0u);
    const run_result bad = run("phonframes -x");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("usage: phonframes"), std::string::npos);
    const run_result no_input = run("phonframes missing.pho");
    EXPECT_EQ(no_input.status, 1);
    EXPECT_NE(no_input.err.find("cannot open 'missing.pho'"), std::string::npos);
}

}  // namespace
