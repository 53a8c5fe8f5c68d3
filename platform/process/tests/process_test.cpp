// Tests of the process layer with real child processes: the program search,
// what a child starts with, how its end is reported, and stopping a group.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static int count = 0;
        path_ = fs::temp_directory_path() /
                ("process_test_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                 std::to_string(++count));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path write(const std::string& name, const std::string& text, fs::perms perms) const {
        const fs::path file = path_ / name;
        std::ofstream(file) << text;
        fs::permissions(file, perms);
        return file;
    }
    std::string str() const { return path_.string(); }

private:
    fs::path path_;
};

constexpr fs::perms kExecutable = fs::perms::owner_all;
constexpr fs::perms kReadOnly = fs::perms::owner_read;

// Sets PATH for one test and puts the old value back.
class PathSetting {
public:
    explicit PathSetting(const char* value) {
        if (const char* old = std::getenv("PATH")) old_ = old, had_ = true;
        if (value != nullptr)
            ::setenv("PATH", value, 1);
        else
            ::unsetenv("PATH");
    }
    ~PathSetting() {
        if (had_)
            ::setenv("PATH", old_.c_str(), 1);
        else
            ::unsetenv("PATH");
    }

private:
    std::string old_;
    bool had_ = false;
};

// Runs `argv` with its output on a pipe and returns what it printed and how it ended.
struct Outcome {
    std::string output;
    process::ExitStatus status;
};

Outcome run(process::ChildSpec launch) {
    Outcome outcome;
    process::Fd out_read, out_write;
    EXPECT_TRUE(process::make_pipe(out_read, out_write));
    launch.stdout_fd = out_write.get();
    launch.stderr_fd = out_write.get();
    std::string reason;
    const pid_t pid = process::start_child(launch, reason);
    EXPECT_GT(pid, 0) << reason;
    if (pid <= 0) return outcome;
    out_write.reset();
    char buffer[4096];
    for (ssize_t got; (got = ::read(out_read.get(), buffer, sizeof buffer)) > 0;)
        outcome.output.append(buffer, static_cast<std::size_t>(got));
    outcome.status = process::wait_for_exit(pid);
    return outcome;
}

process::ChildSpec shell(const std::string& script) {
    process::ChildSpec launch;
    launch.program = "/bin/sh";
    launch.argv = {"sh", "-c", script};
    return launch;
}

TEST(process_search, FindsInProgramDirThenPathAndSaysWhyNot) {
    TempDir program_dir, path_dir, base_dir;
    program_dir.write("tool", "#!/bin/sh\n", kExecutable);
    path_dir.write("tool", "#!/bin/sh\n", kExecutable);
    path_dir.write("other", "#!/bin/sh\n", kExecutable);
    path_dir.write("plain", "data", kReadOnly);
    base_dir.write("local", "#!/bin/sh\n", kExecutable);
    PathSetting path((path_dir.str() + "::/bin").c_str());
    const process::SearchPlaces places{program_dir.str(), base_dir.str()};

    int error = -1;
    EXPECT_EQ(process::find_program("tool", places, &error), program_dir.str() + "/tool");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(process::find_program("other", places), path_dir.str() + "/other");
    // An empty PATH entry is the base directory, not this process's own.
    EXPECT_EQ(process::find_program("local", places), base_dir.str() + "/local");
    EXPECT_EQ(process::find_program("./local", places), base_dir.str() + "/./local");
    EXPECT_EQ(process::find_program("local", {}), "");

    EXPECT_EQ(process::find_program("plain", places, &error), "");
    EXPECT_EQ(error, EACCES) << "found, but not executable";
    EXPECT_EQ(process::find_program("none-such-4711", places, &error), "");
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(process::find_program("", places, &error), "");
    EXPECT_EQ(error, ENOENT);
}

TEST(process_search, UnsetPathSearchesTheSystemDirectories) {
    PathSetting path(nullptr);
    EXPECT_EQ(process::search_path(), "/usr/local/bin:/usr/bin:/bin");
    EXPECT_EQ(process::find_program("sh", {}).substr(0, 5), "/usr/");
}

TEST(process_search, ExecutableFolderHoldsThisTest) {
    const std::string folder = process::executable_folder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::exists(fs::path(folder) / "process_tests"));
}

TEST(process_child, StartsWithOnlyItsStandardDescriptorsInItsDirectory) {
    TempDir dir;
    // A descriptor this process holds without close-on-exec must not reach the child.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    process::ChildSpec launch = shell("pwd; ls /proc/self/fd | wc -l; cat; echo end >&2");
    launch.dir = dir.str();
    const Outcome outcome = run(launch);
    ::close(leaked);
    // 0, 1, 2 and the descriptor ls reads the folder with; standard input is empty.
    EXPECT_EQ(outcome.output, fs::canonical(dir.str()).string() + "\n4\nend\n");
    EXPECT_EQ(outcome.status.exit_code, 0);
    EXPECT_EQ(outcome.status.signal_number, 0);
}

TEST(process_child, StartFailuresAreReportedNotRun) {
    TempDir dir;
    const fs::path plain = dir.write("plain", "data", kReadOnly);
    struct Case {
        const char* what;
        std::string program, dir, reason;
        int error;
    };
    const Case cases[] = {
        {"missing program", dir.str() + "/none", "", "No such file or directory", ENOENT},
        {"not executable", plain.string(), "", "Permission denied", EACCES},
        {"missing directory", "/bin/sh", dir.str() + "/gone",
         "cannot enter directory '" + dir.str() + "/gone': No such file or directory", ENOENT},
    };
    for (const Case& c : cases) {
        process::ChildSpec launch;
        launch.program = c.program;
        launch.argv = {"x"};
        launch.dir = c.dir;
        std::string reason;
        int error = 0;
        EXPECT_EQ(process::start_child(launch, reason, &error), -1) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

TEST(process_child, ExitCodesAndSignalsAreTold) {
    Outcome outcome = run(shell("exit 3"));
    EXPECT_EQ(outcome.status.exit_code, 3);
    EXPECT_EQ(outcome.status.signal_number, 0);
    outcome = run(shell("kill -TERM $$"));
    EXPECT_EQ(outcome.status.exit_code, -1);
    EXPECT_EQ(outcome.status.signal_number, SIGTERM);
    EXPECT_EQ(process::describe_signal(SIGTERM).rfind("killed by signal 15 (", 0), 0u);
    EXPECT_TRUE(process::wait_for_exit(::getpid()).lost);
}

TEST(process_child, IgnoredSignalsAreNotInherited) {
    // A child must start with default actions even where this process ignores a signal.
    process::ScopedSigpipeIgnore ignore;
    const Outcome outcome = run(shell("grep ^SigIgn: /proc/self/status"));
    EXPECT_EQ(outcome.output, "SigIgn:\t0000000000000000\n");
}

TEST(process_stop, StopsTheChildAndEverythingItStarted) {
    // The child starts a grandchild that holds the output pipe too; a stop must end both,
    // or reading the output would wait for the grandchild's half minute.
    process::ChildSpec launch = shell("sleep 30 & echo started; wait");
    launch.own_group = true;
    process::Fd out_read, out_write;
    ASSERT_TRUE(process::make_pipe(out_read, out_write));
    launch.stdout_fd = out_write.get();
    std::string reason;
    const pid_t pid = process::start_child(launch, reason);
    ASSERT_GT(pid, 0) << reason;
    out_write.reset();
    char line[16] = {};
    ASSERT_GT(::read(out_read.get(), line, sizeof line), 0);

    std::atomic<bool> stop{false};
    process::GroupStopper stopper(pid, &stop);
    EXPECT_FALSE(stopper.update());
    EXPECT_EQ(stopper.poll_timeout_ms(), process::GroupStopper::kPollIntervalMs);
    const auto start = std::chrono::steady_clock::now();
    stop = true;
    const process::ExitStatus status = process::wait_for_exit(pid, &stopper);
    EXPECT_TRUE(stopper.stopped());
    EXPECT_EQ(status.signal_number, SIGTERM);
    // The grandchild is gone as well: the pipe ends at once.
    pollfd p{out_read.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::read(out_read.get(), line, sizeof line), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(process_stop, NoFlagMeansNoTimeLimit) {
    process::GroupStopper stopper(::getpid(), nullptr);
    EXPECT_FALSE(stopper.update());
    EXPECT_EQ(stopper.poll_timeout_ms(), -1);
    EXPECT_FALSE(stopper.given_up());
}

TEST(process_pipes, EndsAreCloseOnExecAndAboveTheStandardOnes) {
    // With standard input closed, a plain pipe would take descriptor 0.
    const int saved_stdin = ::dup(0);
    ::close(0);
    process::Fd read_end, write_end;
    const bool made = process::make_pipe(read_end, write_end);
    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    ASSERT_TRUE(made);
    for (int fd : {read_end.get(), write_end.get()}) {
        EXPECT_GT(fd, 2);
        EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    EXPECT_TRUE(process::set_nonblocking(read_end.get()));
    char byte;
    EXPECT_EQ(::read(read_end.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(process_pipes, SigpipeIgnoreComesBackAfterTheScope) {
    struct sigaction before {};
    ::sigaction(SIGPIPE, nullptr, &before);
    {
        process::ScopedSigpipeIgnore ignore;
        process::Fd read_end, write_end;
        ASSERT_TRUE(process::make_pipe(read_end, write_end));
        read_end.reset();
        EXPECT_EQ(::write(write_end.get(), "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
    }
    struct sigaction after {};
    ::sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
