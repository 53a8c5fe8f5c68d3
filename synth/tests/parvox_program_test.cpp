// Whole-program tests of parvox: command line, control input, output files, replay and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string PARVOX = std::string(TALORIA_BIN_DIR) + "/parvox";
constexpr int RUN_TIMEOUT_MS = 30000;
constexpr int FRAME_SAMPLES = 110;  // samples per frame with the built-in parameters

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs parvox with `args`, feeding `input` on its standard input, with extra
// environment settings "NAME=value" (a bare "NAME" removes the variable).
// Kills the child when it runs longer than RUN_TIMEOUT_MS.
run_result run_parvox(const std::vector<std::string> &args, const std::string &input = "",
                      const std::vector<std::string> &env = {}) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        // Replay never reaches a sound card unless a test asks for capture.
        setenv("TALORIA_WAVEOUT", "none", 1);
        unsetenv("ZIRPATH");
        unsetenv("DAC");
        for (const std::string &e : env) {
            const size_t eq = e.find('=');
            if (eq == std::string::npos) {
                unsetenv(e.c_str());
            } else {
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(PARVOX.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PARVOX.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);

    run_result r;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(RUN_TIMEOUT_MS);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "parvox did not end in time";
            break;
        }
        poll(fds, n, static_cast<int>(left.count()));
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                const ssize_t w = write(in_fd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                (fds[i].fd == out_pipe[0] ? out_open : err_open) = false;
                continue;
            }
            (fds[i].fd == out_pipe[0] ? r.out : r.err).append(buffer, static_cast<size_t>(got));
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

uint32_t le32(const std::string &s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
           uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
}

uint16_t le16(const std::string &s, size_t at) {
    return uint16_t(uint8_t(s[at]) | uint8_t(s[at + 1]) << 8);
}

std::vector<int16_t> samples_of(const std::string &bytes) {
    std::vector<int16_t> s(bytes.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(le16(bytes, 2 * i));
    return s;
}

// A vowel of `frames` frames: F0 120 Hz, formants 500/1500/2500 Hz, fully voiced.
std::string voiced_frames(int frames) {
    std::string text;
    for (int i = 0; i < frames; ++i) text += "120 500 60 1500 55 2500 50 0 40 250 30 255\n";
    return text;
}

// Frames of noise: no voicing, a strong high branch.
std::string unvoiced_frames(int frames) {
    std::string text;
    for (int i = 0; i < frames; ++i) text += "0 300 20 1800 40 2600 45 0 50 250 0 0\n";
    return text;
}

class parvox_program : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("parvox_program_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    fs::path dir;
};

TEST_F(parvox_program, HelpVersionAndBanner) {
    run_result help = run_parvox({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage : parvox (-I) (-p paramfile) (-g glotfile) (-o outfile) (-s) "
                            "(-t) (controlfile)"),
              std::string::npos)
        << help.out;

    // The help names the sound devices that replay can reach on this platform.
    for (const char *device : {"PortAudio", "capture:", "none", "TALORIA_WAVEOUT", "win32"})
        EXPECT_NE(help.out.find(device), std::string::npos) << device;

    run_result version = run_parvox({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("parvox 2.1"), std::string::npos) << version.out;

    // -I ends the run at once, whatever follows it.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-I"}, {"-I", "-s"}, {"-I", "missing.ctl"}, {"-x", "-I"}}) {
        run_result banner = run_parvox(args);
        EXPECT_EQ(banner.status, 0) << args[0];
        EXPECT_NE(banner.err.find("parvox"), std::string::npos);
        EXPECT_NE(banner.err.find("2.1"), std::string::npos);
    }
}

TEST_F(parvox_program, CommandLineErrorsAreFatal) {
    const std::string usage =
        "parvox: usage : parvox (-I) (-p paramfile) (-g glotfile) (-o outfile) (-s) (-t) "
        "(controlfile)";
    struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-x"}, "illegal option 'x'"},
        {{"-x"}, usage},
        {{"-o"}, usage},
        {{"-s"}, "parvox: Sun real-time replay not configured"},
        {{"-t", "-s", "-o", path("never.wav")}, "parvox: Sun real-time replay not configured"},
        {{"-o", path("out.wav"), path("missing.ctl")},
         "parvox: could not open input file '" + path("missing.ctl") + "'"},
        {{"-o", path("no/such/dir/out.wav")},
         "parvox: could not open output file '" + path("no/such/dir/out.wav") + "'"},
        {{"-o", "/dev/full"}, "parvox: write error on '/dev/full'"},
        {{"-p", path("missing.par")},
         "parvox: can't open parameter file '" + path("missing.par") + "'"},
    };
    for (const auto &c : cases) {
        run_result r = run_parvox(c.args, voiced_frames(3));
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "stderr: " << r.err;
    }
    EXPECT_FALSE(fs::exists(path("never.wav")));
}

TEST_F(parvox_program, WavAndRawOutputHoldEveryFrame) {
    const int frames = 37;
    write_file(path("in.ctl"), voiced_frames(frames));
    ASSERT_EQ(run_parvox({"-o", path("out.wav"), path("in.ctl")}).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("out.raw"), path("in.ctl")}).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("out.Wav"), path("in.ctl")}).status, 0);

    const std::string wav = read_file(path("out.wav"));
    const uint32_t data_bytes = 2u * frames * FRAME_SAMPLES;
    ASSERT_EQ(wav.size(), 44u + data_bytes);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(wav, 4), 36u + data_bytes);
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(wav, 16), 16u);
    EXPECT_EQ(le16(wav, 20), 1u);
    EXPECT_EQ(le16(wav, 22), 1u);
    EXPECT_EQ(le32(wav, 24), 11000u);
    EXPECT_EQ(le32(wav, 28), 22000u);
    EXPECT_EQ(le16(wav, 32), 2u);
    EXPECT_EQ(le16(wav, 34), 16u);
    EXPECT_EQ(wav.substr(36, 4), "data");
    EXPECT_EQ(le32(wav, 40), data_bytes);

    // Raw files hold exactly the samples of the WAV file.
    EXPECT_EQ(read_file(path("out.raw")), wav.substr(44));
    EXPECT_EQ(read_file(path("out.Wav")), wav.substr(44));

    // Speech, not silence, and well inside the 16-bit range.
    const std::vector<int16_t> s = samples_of(wav.substr(44));
    int peak = 0;
    for (int16_t v : s) peak = std::max(peak, std::abs(int(v)));
    EXPECT_GT(peak, 1000);
    EXPECT_LT(peak, 32000);
}

TEST_F(parvox_program, ControlFramesFromFileStandardInputAndSearchPath) {
    const std::string text = "* a comment line\n" + voiced_frames(5) + unvoiced_frames(4) +
                             "* another\n" + voiced_frames(6);
    write_file(path("in.ctl"), text);
    ASSERT_EQ(run_parvox({"-o", path("file.wav"), path("in.ctl")}).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("stdin.wav")}, text).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("dash.wav"), "-"}, text).status, 0);
    fs::create_directories(dir / "found");
    write_file(dir / "found" / "search.ctl", text);
    ASSERT_EQ(run_parvox({"-o", path("search.wav"), "search.ctl"}, "",
                         {"ZIRPATH=" + path("nothing") + ";" + path("found")})
                  .status,
              0);

    const std::string expected = read_file(path("file.wav"));
    EXPECT_EQ(expected.size(), 44u + 2u * 15 * FRAME_SAMPLES);
    EXPECT_EQ(read_file(path("stdin.wav")), expected);
    EXPECT_EQ(read_file(path("dash.wav")), expected);
    EXPECT_EQ(read_file(path("search.wav")), expected);

    // Line ends written with a carriage return give the same frames.
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    ASSERT_EQ(run_parvox({"-o", path("crlf.wav")}, crlf).status, 0);
    EXPECT_EQ(read_file(path("crlf.wav")), expected);
}

TEST_F(parvox_program, EmptyInputGivesAnEmptyWavFile) {
    run_result r = run_parvox({"-o", path("empty.wav")});
    EXPECT_EQ(r.status, 0);
    const std::string wav = read_file(path("empty.wav"));
    ASSERT_EQ(wav.size(), 44u);
    EXPECT_EQ(le32(wav, 4), 36u);
    EXPECT_EQ(le32(wav, 40), 0u);

    // One frame is exactly one frame length of samples.
    ASSERT_EQ(run_parvox({"-o", path("one.raw")}, voiced_frames(1)).status, 0);
    EXPECT_EQ(read_file(path("one.raw")).size(), 2u * FRAME_SAMPLES);
}

TEST_F(parvox_program, VoicedInputGivesTheSameWaveformEveryRun) {
    const std::string text = voiced_frames(20);
    ASSERT_EQ(run_parvox({"-o", path("a.raw")}, text).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("b.raw")}, text).status, 0);
    EXPECT_EQ(read_file(path("a.raw")), read_file(path("b.raw")));
    // Noise is reproducible too: the generator has a fixed seed.
    const std::string mixed = unvoiced_frames(10) + voiced_frames(10);
    ASSERT_EQ(run_parvox({"-o", path("c.raw")}, mixed).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("d.raw")}, mixed).status, 0);
    EXPECT_EQ(read_file(path("c.raw")), read_file(path("d.raw")));
}

TEST_F(parvox_program, HexadecimalLinesGiveTheSameSpeechAsDecimalOnes) {
    std::string decimal, hex;
    for (int i = 0; i < 10; ++i) {
        decimal += "120 500 60 1500 55 2500 50 0 40 250 30 60\n";
        hex += "201E103C14371832280F2320\n";
    }
    ASSERT_EQ(run_parvox({"-o", path("dec.raw")}, decimal).status, 0);
    ASSERT_EQ(run_parvox({"-t", "-o", path("hex.raw")}, hex).status, 0);
    const std::string a = read_file(path("dec.raw"));
    EXPECT_EQ(a.size(), 2u * 10 * FRAME_SAMPLES);
    EXPECT_EQ(a, read_file(path("hex.raw")));
}

TEST_F(parvox_program, EndOfTextByteEndsTheInput) {
    const std::string before = voiced_frames(4);
    ASSERT_EQ(run_parvox({"-o", path("cut.raw")}, before + "\x1a" + voiced_frames(9)).status, 0);
    ASSERT_EQ(run_parvox({"-o", path("whole.raw")}, before).status, 0);
    EXPECT_EQ(read_file(path("cut.raw")), read_file(path("whole.raw")));
}

TEST_F(parvox_program, BadInputBytesNeverCrash) {
    std::string garbage;
    uint32_t seed = 99;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        char c = char(seed >> 24);
        if (c == '\x1a') c = 'x';
        garbage += c;
    }
    std::string nul_line = "120 500 60";
    nul_line += '\0';
    nul_line += "1500 55 2500 50 0 40 250 30 255\n";
    const std::string long_line = std::string(100000, '7') + "\n" + voiced_frames(2);
    const std::string huge_values =
        "1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30\n"
        "99999 0 99999 0 99999 0 99999 0 99999 99999 99999 99999\n"
        "nan inf -5 .5\n\n\n" +
        std::string(300, ' ') +
        "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 "
        "26 27 28 29 30 31 32 33 34 35 36 37\n";
    const std::string hex_garbage = "ZZZZZZZZZZZZZZZZZZZZZZZZ\nffffffffffffffffffffffff\n0\n\n";
    struct {
        const char *name;
        std::vector<std::string> args;
        std::string input;
    } cases[] = {
        {"garbage", {}, garbage},
        {"garbage as hex", {"-t"}, garbage},
        {"NUL bytes", {}, nul_line + voiced_frames(2)},
        {"long line", {}, long_line},
        {"long line as hex", {"-t"}, long_line},
        {"huge values", {}, huge_values},
        {"bad hex", {"-t"}, hex_garbage},
        {"end byte in the middle",
         {},
         voiced_frames(2) + "12\x1a"
                            "0 1 2\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("-o");
        args.push_back(path("bad.raw"));
        run_result r = run_parvox(args, c.input);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(read_file(path("bad.raw")).size() % (2 * FRAME_SAMPLES), 0u) << c.name;
    }
}

TEST_F(parvox_program, ReplayPlaysTheSpeechWhenNoOutputIsNamed) {
    const std::string text = voiced_frames(8) + unvoiced_frames(3);
    ASSERT_EQ(run_parvox({"-o", path("ref.raw")}, text).status, 0);
    const std::string capture = "capture:" + path("played.pcm");
    run_result r = run_parvox({}, text, {"TALORIA_WAVEOUT=" + capture, "TALORIA_WAVEOUT_SPEED=0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("played.pcm")), read_file(path("ref.raw")));

    // A silent device class and an unknown device name play nothing, and the
    // run still succeeds; so does a machine without any sound device.
    for (const char *dac : {"sb16", "sun", "Win32", "nonsense"}) {
        fs::remove(path("played.pcm"));
        run_result quiet = run_parvox(
            {}, text,
            {"TALORIA_WAVEOUT=" + capture, "TALORIA_WAVEOUT_SPEED=0", std::string("DAC=") + dac});
        EXPECT_EQ(quiet.status, 0) << dac;
        EXPECT_TRUE(!fs::exists(path("played.pcm")) || fs::file_size(path("played.pcm")) == 0)
            << dac;
    }
    run_result none = run_parvox({}, text, {"TALORIA_WAVEOUT=none"});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.err.find("Unable to open waveform output device"), std::string::npos)
        << none.err;
}

TEST_F(parvox_program, OverloadIsReportedOnceAndTheOutputCompleted) {
    // Ten times the usual source scale at full amplitudes drives the output
    // far past the 16-bit range.
    std::string par = read_file(std::string(TALORIA_SOURCE_DIR) + "/synth/data/default.par");
    const size_t at = par.find("3800 xscale");
    ASSERT_NE(at, std::string::npos);
    par.replace(at, 4, "38000");
    write_file(path("loud.par"), par);
    std::string loud;
    for (int i = 0; i < 30; ++i) loud += "100 150 63 600 63 1400 63 0 63 250 63 255\n";
    run_result r = run_parvox({"-p", path("loud.par"), "-o", path("loud.wav")}, loud);
    EXPECT_EQ(r.status, 0);
    const bool once = r.err == "parvox: overload detected on output\n" ||
                      r.err == "parvox: severe overload detected on output\n";
    EXPECT_TRUE(once) << r.err;
    const std::string wav = read_file(path("loud.wav"));
    ASSERT_EQ(wav.size(), 44u + 2u * 30 * FRAME_SAMPLES);
    EXPECT_EQ(le32(wav, 40), 2u * 30 * FRAME_SAMPLES);
}

TEST_F(parvox_program, DemoRendersAsSpeech) {
    const std::string demo = std::string(TALORIA_SOURCE_DIR) + "/synth/data/demo.ctl";
    run_result r = run_parvox({"-o", path("demo.wav"), demo});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string wav = read_file(path("demo.wav"));
    const std::vector<int16_t> s = samples_of(wav.substr(44));
    EXPECT_GE(s.size(), 22000u);
    // Loud and quiet stretches both occur: speech, not a steady tone.
    int loud_frames = 0, quiet_frames = 0;
    for (size_t f = 0; f + FRAME_SAMPLES <= s.size(); f += FRAME_SAMPLES) {
        double energy = 0;
        for (size_t k = f; k < f + FRAME_SAMPLES; ++k) energy += double(s[k]) * s[k];
        const double rms = std::sqrt(energy / FRAME_SAMPLES);
        loud_frames += rms > 2000;
        quiet_frames += rms < 200;
    }
    EXPECT_GT(loud_frames, 50);
    EXPECT_GT(quiet_frames, 5);
}

}  // namespace

TEST_F(parvox_program, ClippedSamplesAreReportedAsOverload) {
    // Full amplitudes on every branch drive some peaks past the 16-bit range:
    // they are limited, and the run says so.
    std::string text;
    for (int i = 0; i < 100; ++i) text += "120 500 63 1500 63 2500 63 0 63 250 63 200\n";
    run_result r = run_parvox({"-o", path("clip.raw")}, text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "parvox: overload detected on output\n");
    const std::vector<int16_t> s = samples_of(read_file(path("clip.raw")));
    ASSERT_EQ(s.size(), 100u * FRAME_SAMPLES);
    const auto clipped = std::count_if(s.begin(), s.end(),
                                       [](int16_t v) { return v == INT16_MAX || v == INT16_MIN; });
    EXPECT_EQ(clipped, 171);

    // Speech that stays inside the range reports nothing.
    EXPECT_EQ(run_parvox({"-o", path("quiet.raw")}, voiced_frames(20)).err, "");
}

TEST_F(parvox_program, TextLinesAmongFramesAreCountedInOneWarning) {
    const std::string frame = "120 500 60 1500 55 2500 50 0 40 250 30 60\n";
    struct {
        const char *name;
        std::vector<std::string> args;
        std::string input;
        std::string err;
        int frames;
    } cases[] = {
        {"words and phonemes",
         {},
         "* comment\n" + frame + "hello world\n" + frame + "h @ l @U\n_ 100\n   \n\n" + frame,
         "parvox: 3 lines are not control frames (first: line 3)\n",
         8},
        // Blank lines and comments are not text; a line giving some values is a frame.
        {"blank lines", {}, frame + "\n  \t\n* words here\n" + frame + "12 x y\n", "", 5},
        // Without any real frame there is nothing to tell the text apart from.
        {"text only", {}, "hello\nworld\n", "", 2},
        // Every line of the hexadecimal form is read as digits.
        {"hexadecimal", {"-t"}, "201E103C14371832280F2320\nhello\n", "", 2},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("-o");
        args.push_back(path("out.raw"));
        run_result r = run_parvox(args, c.input);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(read_file(path("out.raw")).size(), 2u * c.frames * FRAME_SAMPLES) << c.name;
    }
}

TEST_F(parvox_program, ALineIsOneFrameHoweverLong) {
    const std::string frame = "120 500 60 1500 55 2500 50 0 40 250 30 60\n";
    // Ten megabytes of numbers on one line, a long comment, and a long line
    // ended by a carriage return: each is one line, the first 255 characters
    // giving the frame.
    std::string numbers;
    while (numbers.size() < 10u * 1024 * 1024) numbers += "120 500 60 1500 55 2500 50 0 40 ";
    const std::string input = numbers + "\n" + "*" + std::string(5000, 'c') + "\n" + frame +
                              std::string(300, '7') + "\r\n" + frame;
    run_result r = run_parvox({"-o", path("long.raw")}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("long.raw")).size(), 4u * 2 * FRAME_SAMPLES);

    // The long line gives the frame of its first 255 characters.
    ASSERT_EQ(run_parvox({"-o", path("cut.raw")}, numbers.substr(0, 255) + "\n").status, 0);
    ASSERT_EQ(run_parvox({"-o", path("whole.raw")}, numbers + "\n").status, 0);
    EXPECT_EQ(read_file(path("cut.raw")), read_file(path("whole.raw")));
}

TEST_F(parvox_program, AControlFileThatCannotBeReadIsFatal) {
    fs::create_directories(dir / "folder.ctl");
    run_result r = run_parvox({"-o", path("out.wav"), path("folder.ctl")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "parvox: could not open input file '" + path("folder.ctl") + "'\n");
    // Refused before any output is made.
    EXPECT_FALSE(fs::exists(path("out.wav")));
}
