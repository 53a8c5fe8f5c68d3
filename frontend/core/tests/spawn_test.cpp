// Tests of the stage-command spawner with real child processes: data flow, failures, stops and
// deadlock shapes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "../stage_command.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct RunResult {
    int status = 0;
    std::string output;
    std::chrono::milliseconds elapsed{0};
};

// Everything one call needs, shared with its thread so that a call that never returns
// cannot leave the thread pointing at a dead stack frame.
struct Call {
    std::string command;
    std::string input;
    core::SpawnOptions options;
    std::atomic<bool> stop{false};
    RunResult result;
};

// Runs spawn_command on a thread of its own and fails the test when it has not returned
// within `limit`; a call that ignores even its stop flag ends the test program.
RunResult run_limited(const std::string& command, const std::string& input,
                      core::SpawnOptions options, std::chrono::seconds limit = 10s,
                      std::chrono::milliseconds stop_after = 0ms) {
    auto call = std::make_shared<Call>();
    call->command = command;
    call->input = input;
    call->options = std::move(options);
    call->options.stop = &call->stop;
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread worker([call, done = std::move(done)]() mutable {
        auto start = std::chrono::steady_clock::now();
        call->result.status =
            core::spawn_command(call->command, call->input, call->result.output, call->options);
        call->result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        done.set_value();
    });
    if (stop_after > 0ms && finished.wait_for(stop_after) == std::future_status::timeout)
        call->stop = true;
    if (finished.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "'" << command << "' has not returned within " << limit.count() << " s";
        call->stop = true;
        if (finished.wait_for(10s) != std::future_status::ready) {
            std::fprintf(stderr, "spawn_command ignores its stop flag; giving up\n");
            std::abort();
        }
    }
    worker.join();
    return call->result;
}

core::SpawnOptions options_in(const fs::path& dir) {
    core::SpawnOptions options;
    options.app_dir = dir.string();
    return options;
}

int count_open_fds() {
    int count = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

bool has_unreaped_child() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) >= 0;
}

// True while a process exists and is not a zombie.
bool process_alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content)) return false;
    auto close_paren = content.rfind(')');
    return close_paren != std::string::npos && content.size() > close_paren + 2 &&
           content[close_paren + 2] != 'Z';
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "spawn_test.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path write(const std::string& name, const std::string& content, fs::perms perms) const {
        fs::path file = path_ / name;
        std::ofstream(file) << content;
        fs::permissions(file, perms);
        return file;
    }

private:
    fs::path path_;
};

constexpr auto kExecutable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
constexpr auto kReadOnly = fs::perms::owner_read | fs::perms::owner_write;

// Checks that a run left no descriptor open and no child unreaped.
class spawn_run : public ::testing::Test {
protected:
    void SetUp() override { fds_before_ = count_open_fds(); }
    void TearDown() override {
        EXPECT_EQ(count_open_fds(), fds_before_) << "descriptors leaked";
        EXPECT_FALSE(has_unreaped_child()) << "a child was left unreaped";
    }
    TempDir dir_;

private:
    int fds_before_ = 0;
};

// ---------------------------------------------------------------- words and lookup

TEST(spawn_words, SplitsAtBlanksAndGroupsQuotes) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"   ", {}},
        {"parvox -o out.wav", {"parvox", "-o", "out.wav"}},
        {"  a   b  ", {"a", "b"}},
        {"a\tb", {"a", "b"}},
        {"say \"two words\" x", {"say", "two words", "x"}},
        {"pre\"fix mid\"post", {"prefix midpost"}},
        {"a \"\" b", {"a", "", "b"}},
        {"echo \\\"quoted\\\"", {"echo", "\"quoted\""}},
        {"\"a \\\" b\"", {"a \" b"}},
        {"back\\slash", {"back\\slash"}},
        {"\"unclosed quote", {"unclosed quote"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(core::split_command_line(c.line), c.words) << "line: " << c.line;
}

TEST(spawn_lookup, ProgramDirBeforePathAndRelativeToAppDir) {
    TempDir program_dir, app_dir;
    fs::create_directories(app_dir.path() / "tools");
    auto own = program_dir.write("sh", "#!/bin/sh\n", kExecutable);
    auto relative = app_dir.write("tools/run", "#!/bin/sh\n", kExecutable);
    program_dir.write("plain", "data", kReadOnly);
    app_dir.write("tools/plain", "data", kReadOnly);

    core::SpawnOptions options;
    options.program_dir = program_dir.path().string();
    options.app_dir = app_dir.path().string();

    EXPECT_EQ(core::find_program("sh", options), own.string()) << "program_dir comes before PATH";
    EXPECT_EQ(core::find_program("tools/run", options), relative.string());
    EXPECT_EQ(core::find_program("/bin/sh", options), "/bin/sh");
    EXPECT_THAT(core::find_program("cat", options), ::testing::EndsWith("/cat"))
        << "found along PATH";
    for (const char* missing :
         {"", "plain", "tools/plain", "tools", "no-such-program-4711", "tools/none"})
        EXPECT_EQ(core::find_program(missing, options), "") << missing;
}

// ---------------------------------------------------------------- data and status

TEST_F(spawn_run, ReturnsExitStatusOfTheCommand) {
    struct Case {
        std::string command;
        int status;
    };
    const Case cases[] = {
        {"true", 0}, {"false", 1}, {"sh -c \"exit 3\"", 3}, {"sh -c \"exit 255\"", 255}};
    for (const auto& c : cases)
        EXPECT_EQ(run_limited(c.command, "", options_in(dir_.path())).status, c.status)
            << c.command;
}

TEST_F(spawn_run, MergesOutputAndErrorInWritingOrder) {
    auto r = run_limited("sh -c \"echo one; echo two >&2; echo three; echo four >&2\"", "",
                         options_in(dir_.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "one\ntwo\nthree\nfour\n");
}

TEST_F(spawn_run, FeedsInputCutAtNulWithoutEndByte) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"hello\n", "hello\n"},
        {std::string("abc\0def", 7), "abc"},
        {std::string("\0rest", 5), ""},
        {"", ""},
        {std::string(100000, 'x') + "end", std::string(100000, 'x') + "end"},
    };
    for (const auto& c : cases) {
        auto r = run_limited("cat", c.input, options_in(dir_.path()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, c.expected) << "no 0x1A byte or anything else may follow the data";
    }
    EXPECT_EQ(core::g_nFedBytes.load(), 100003u);
    EXPECT_FALSE(core::g_bFeeding.load());
}

TEST_F(spawn_run, OutputKeepsEveryByteAndIsAppended) {
    auto r = run_limited("printf \"a\\000b\"", "", options_in(dir_.path()));
    EXPECT_EQ(r.output, std::string("a\0b", 3));

    core::SpawnOptions options = options_in(dir_.path());
    std::string output = "kept:";
    EXPECT_EQ(core::spawn_command("echo more", "", output, options), 0);
    EXPECT_EQ(output, "kept:more\n");
}

TEST_F(spawn_run, ReportsCommandsThatCannotStart) {
    dir_.write("data.txt", "x", kReadOnly);
    struct Case {
        std::string command;
        std::string message;
    };
    const Case cases[] = {
        {"no-such-program-4711 -x",
         "taloria2: cannot start 'no-such-program-4711': No such file or directory\n"},
        {"./data.txt", "taloria2: cannot start './data.txt': Permission denied\n"},
        {"./missing", "taloria2: cannot start './missing': No such file or directory\n"},
        {"   ", "taloria2: cannot start an empty command line\n"},
    };
    for (const auto& c : cases) {
        auto r = run_limited(c.command, "input", options_in(dir_.path()));
        EXPECT_EQ(r.status, -1) << c.command;
        EXPECT_EQ(r.output, c.message);
    }
    auto r = run_limited("true", "", options_in(dir_.path() / "gone"));
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.output, HasSubstr("cannot start 'true'"));
}

TEST_F(spawn_run, SignalDeathIsAFailure) {
    auto r = run_limited("sh -c \"echo before; kill -9 $$\"", "", options_in(dir_.path()));
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.output, ::testing::StartsWith("before\ntaloria2: 'sh' killed by signal 9"));
}

// ---------------------------------------------------------------- what the child sees

TEST_F(spawn_run, ChildStartsWithCleanSignalState) {
    // The calling thread blocks a signal and the process ignores another; neither may reach
    // the child, and neither may SIGPIPE, which the spawner itself ignores.
    struct sigaction ignore {
    }, old_action{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR2, &ignore, &old_action);
    auto r = std::async(std::launch::async, [this] {
                 sigset_t block, old_mask;
                 sigemptyset(&block);
                 sigaddset(&block, SIGUSR1);
                 ::pthread_sigmask(SIG_BLOCK, &block, &old_mask);
                 core::SpawnOptions options = options_in(dir_.path());
                 std::string output;
                 int status = core::spawn_command("grep -E ^Sig(Ign|Blk): /proc/self/status", "",
                                                  output, options);
                 ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
                 return std::make_pair(status, output);
             }).get();
    ::sigaction(SIGUSR2, &old_action, nullptr);
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.second, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");

    struct sigaction now {};
    ::sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "the front end must see EPIPE instead of dying";
}

TEST_F(spawn_run, ChildHasOnlyTheStandardDescriptors) {
    // A descriptor opened without close-on-exec, as other code in the process may do.
    int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    auto r = run_limited("ls -l /proc/self/fd", "", options_in(dir_.path()));
    ::close(stray);
    ASSERT_EQ(r.status, 0) << r.output;

    std::map<int, std::string> targets;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        auto name_start = line.rfind(' ', arrow - 1) + 1;
        targets[std::stoi(line.substr(name_start, arrow - name_start))] = line.substr(arrow + 4);
    }
    // ls itself holds the directory it lists open.
    std::erase_if(targets,
                  [](const auto& t) { return t.first > 2 && t.second.starts_with("/proc/"); });
    ASSERT_EQ(targets.size(), 3u) << r.output;
    EXPECT_THAT(targets[0], ::testing::StartsWith("pipe:"));
    EXPECT_THAT(targets[1], ::testing::StartsWith("pipe:"));
    EXPECT_EQ(targets[1], targets[2]) << "output and error share one pipe";
    EXPECT_NE(targets[0], targets[1]);
}

TEST_F(spawn_run, ChildRunsInAppDirWithEnvironmentAndOwnGroup) {
    ::setenv("TALORIA_SPAWN_PROBE", "seen", 1);
    auto r = run_limited(
        "sh -c \"pwd; echo $TALORIA_SPAWN_PROBE; echo $$; cut -d\\\" \\\" -f1,5 /proc/self/stat\"",
        "", options_in(dir_.path()));
    ::unsetenv("TALORIA_SPAWN_PROBE");
    ASSERT_EQ(r.status, 0) << r.output;
    std::istringstream lines(r.output);
    std::string cwd, env;
    long shell_pid = 0, cut_pid = 0, cut_pgrp = 0;
    std::getline(lines, cwd);
    std::getline(lines, env);
    lines >> shell_pid >> cut_pid >> cut_pgrp;
    EXPECT_EQ(fs::canonical(cwd), fs::canonical(dir_.path()));
    EXPECT_EQ(env, "seen");
    // The spawned shell leads a group of its own, which its children share.
    EXPECT_EQ(cut_pgrp, shell_pid);
    EXPECT_NE(cut_pid, shell_pid);
    EXPECT_NE(cut_pgrp, static_cast<long>(::getpgrp()));
}

// ---------------------------------------------------------------- program lookup in a run

TEST_F(spawn_run, RunsProgramFromProgramDirFirst) {
    TempDir program_dir;
    program_dir.write("echo", "#!/bin/sh\nprintf 'own:%s\\n' \"$*\"\n", kExecutable);
    auto options = options_in(dir_.path());
    options.program_dir = program_dir.path().string();
    EXPECT_EQ(run_limited("echo \"a b\" c", "", options).output, "own:a b c\n");
}

TEST_F(spawn_run, RelativeAppDirAndProgramDir) {
    // Both folders are given relative to the caller's directory; the child enters the app
    // directory before exec, which must not change which program runs.
    TempDir program_dir;
    program_dir.write("probe", "#!/bin/sh\necho probe\n", kExecutable);
    fs::create_directories(dir_.path() / "tools");
    dir_.write("tools/run", "#!/bin/sh\npwd\n", kExecutable);
    core::SpawnOptions options;
    options.app_dir = fs::relative(dir_.path()).string();
    options.program_dir = fs::relative(program_dir.path()).string();
    ASSERT_NE(options.app_dir.front(), '/');
    EXPECT_EQ(run_limited("probe", "", options).output, "probe\n");
    auto r = run_limited("tools/run", "", options);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(fs::canonical(r.output.substr(0, r.output.size() - 1)), fs::canonical(dir_.path()));
}

TEST_F(spawn_run, OldConsoleRunsTheLineThroughConspawn) {
    const fs::path bin = TALORIA_BIN_DIR;
    if (!fs::exists(bin / "conspawn.exe")) GTEST_SKIP() << "conspawn.exe is not built";
    auto options = options_in(dir_.path());
    options.program_dir = bin.string();
    options.old_console = true;
    auto r = run_limited("tr a-z A-Z | sed \"s/  / _ /\"; echo done >&2", "a  b\n", options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "A _ B\ndone\n")
        << "the shell sees quotes, pipes and redirection as written";
    EXPECT_EQ(run_limited("exit 6", "", options).status, 6);
    EXPECT_EQ(run_limited("  ", "", options).output,
              "taloria2: cannot start an empty command line\n");

    options.program_dir = dir_.path().string();
    auto missing = run_limited("true", "", options);
    if (core::find_program("conspawn.exe", options).empty()) {
        EXPECT_EQ(missing.status, -1);
        EXPECT_THAT(missing.output, HasSubstr("cannot start 'conspawn.exe'"));
    }
}

// ---------------------------------------------------------------- stops

TEST_F(spawn_run, StopKillsTheWholeGroupOfASilentCommand) {
    auto pid_file = dir_.path() / "grandchild.pid";
    auto r = run_limited("sh -c \"sleep 30 & echo $! > grandchild.pid; sleep 30\"", "",
                         options_in(dir_.path()), 10s, 300ms);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.output, HasSubstr("taloria2: stopped by the user\n"));
    EXPECT_LT(r.elapsed, 1500ms) << "the flag must be noticed while the command is silent";

    pid_t grandchild = 0;
    std::ifstream(pid_file) >> grandchild;
    ASSERT_GT(grandchild, 0);
    for (int i = 0; i < 50 && process_alive(grandchild); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(process_alive(grandchild)) << "the command's own child survived the stop";
}

TEST_F(spawn_run, StopEndsACommandThatIgnoresTerminate) {
    // The shell and its sleep ignore SIGTERM, so only the SIGKILL after the grace time ends them;
    // the command also still has input pending.
    auto r = run_limited("sh -c \"trap '' TERM; sleep 30\"", std::string(1 << 20, 'x'),
                         options_in(dir_.path()), 10s, 200ms);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.output, HasSubstr("stopped by the user"));
    EXPECT_LT(r.elapsed, 3000ms);
}

TEST_F(spawn_run, StopSetBeforeTheCallStartsNothing) {
    core::SpawnOptions options = options_in(dir_.path());
    std::atomic<bool> stop{true};
    options.stop = &stop;
    std::string output;
    EXPECT_EQ(core::spawn_command("touch started", "", output, options), -1);
    EXPECT_THAT(output, HasSubstr("stopped by the user"));
    EXPECT_FALSE(fs::exists(dir_.path() / "started"));
}

TEST_F(spawn_run, CallsOnSeveralThreadsKeepTheirOwnInput) {
    // Inputs larger than a pipe, so that each call needs its feeder thread.
    auto run_many = [this](char fill) {
        const std::string input(1 << 20, fill);
        for (int i = 0; i < 5; ++i) {
            auto r = run_limited("cat", input, options_in(dir_.path()));
            if (r.status != 0 || r.output != input) return false;
        }
        return true;
    };
    auto a = std::async(std::launch::async, run_many, 'a');
    auto b = std::async(std::launch::async, run_many, 'b');
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(spawn_feeder, WritesTheGlobalTextAndClosesThePipe) {
    struct Case {
        bool feeding;
        std::size_t start;
        std::string read_back;
        unsigned long result;
    };
    const Case cases[] = {{true, 0, "stage data", 1}, {true, 6, "data", 1}, {false, 0, "", 0}};
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        core::g_strFeedText = "stage data";
        core::g_bFeeding = c.feeding;
        core::FeedArgs args{fds[1], nullptr, c.start};
        EXPECT_EQ(core::FeedThreadProc(&args), c.result);
        std::string got(64, '\0');
        ssize_t n = ::read(fds[0], got.data(), got.size());  // the pipe holds all; EOF follows
        got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        EXPECT_EQ(got, c.read_back);
        EXPECT_EQ(::read(fds[0], got.data(), 1), 0) << "the feeder must close its end";
        ::close(fds[0]);
    }
    core::g_strFeedText = {};
    core::g_bFeeding = false;
}

// ---------------------------------------------------------------- deadlock shapes

TEST_F(spawn_run, ChildExitingWithoutReadingItsInput) {
    const std::string input(8 << 20, 'y');
    auto r = run_limited("true", input, options_in(dir_.path()), 10s);
    EXPECT_EQ(r.status, 0);
    r = run_limited("head -c 5", input, options_in(dir_.path()), 10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "yyyyy");
}

TEST_F(spawn_run, ChildWriting200MegabytesWhileFeederWrites) {
    // The child writes all of its output before it reads any input, so the output must be
    // drained while the feeder is still blocked.
    constexpr std::size_t kOutputBytes = 200'000'000;
    const std::string input(4 << 20, 'i');
    auto r = run_limited("sh -c \"head -c 200000000 /dev/zero; wc -c\"", input,
                         options_in(dir_.path()), 60s);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.output.size(), kOutputBytes + 8);
    EXPECT_EQ(r.output.substr(kOutputBytes), std::to_string(input.size()) + "\n");
}

TEST_F(spawn_run, ChildClosingOutputEarlyIsWaitedFor) {
    auto r = run_limited("sh -c \"echo early; exec >&- 2>&-; sleep 1; exit 4\"", "",
                         options_in(dir_.path()), 10s);
    EXPECT_EQ(r.output, "early\n");
    EXPECT_EQ(r.status, 4) << "the status comes from the child's end, after its output closed";
    EXPECT_GE(r.elapsed, 900ms);
}

TEST_F(spawn_run, StopReachesACommandThatClosedItsOutput) {
    auto r =
        run_limited("sh -c \"exec >&- 2>&-; sleep 30\"", "", options_in(dir_.path()), 10s, 300ms);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.output, "taloria2: stopped by the user\n");
    EXPECT_LT(r.elapsed, 1500ms);
}

TEST_F(spawn_run, GrandchildHoldingTheOutputKeepsTheReadGoing) {
    auto r = run_limited("sh -c \"(sleep 1; echo late) & echo early\"", "", options_in(dir_.path()),
                         10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "early\nlate\n");
}

TEST_F(spawn_run, GrandchildHoldingTheInputDoesNotHoldTheFeeder) {
    // The background sleep keeps the input pipe open without reading it; the output ends when
    // the shell exits, and the feeder must give up then instead of waiting for room.
    auto r = run_limited("sh -c \"sleep 3 >/dev/null 2>&1 & exit 0\"", std::string(8 << 20, 'z'),
                         options_in(dir_.path()), 10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.elapsed, 2000ms);
}

}  // namespace
