// Tests of conspawn.exe: the command line through the shell, standard handles and exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Result {
    int status = -1;
    std::string output;
};

const std::string kConspawn = std::string(TALORIA_BIN_DIR) + "/conspawn.exe";

// Runs a shell line (in which CONSPAWN stands for the program) and collects its output and status.
Result run(const std::string& line) {
    Result result;
    std::string command = "CONSPAWN='" + kConspawn + "'; " + line + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer{};
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        result.output.append(buffer.data(), got);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(conspawn, HelpAndVersion) {
    auto help = run("\"$CONSPAWN\" --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.output, ::testing::HasSubstr("Usage: conspawn.exe"));
    auto version = run("\"$CONSPAWN\" --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.output, ::testing::StartsWith("conspawn.exe "));
    auto none = run("\"$CONSPAWN\"");
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.output, ::testing::HasSubstr("no command line"));
}

TEST(conspawn, RunsTheJoinedLineThroughTheShell) {
    struct Case {
        std::string line;
        int status;
        std::string output;
    };
    const Case cases[] = {
        // One argument holding a whole shell line, with pipe, quotes and redirection.
        {"printf 'a  b\\n' | \"$CONSPAWN\" 'tr a-z A-Z | sed \"s/  /_/\"; echo err >&2'", 0,
         "A_B\nerr\n"},
        // Several arguments are joined with single blanks.
        {"\"$CONSPAWN\" echo one '  two' three", 0, "one two three\n"},
        // The command's status is the helper's status.
        {"\"$CONSPAWN\" 'exit 7'", 7, ""},
        {"\"$CONSPAWN\" no-such-command-4711 >/dev/null", 127, ""},
        // Standard input reaches the command unchanged, to its end.
        {"printf 'x\\001y' | \"$CONSPAWN\" od -An -c", 0, "   x 001   y\n"},
        // An argument that only looks like an option is part of the command line.
        {"\"$CONSPAWN\" echo --help", 0, "--help\n"},
    };
    for (const auto& c : cases) {
        auto r = run(c.line);
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(r.output, c.output) << c.line;
    }
}

TEST(conspawn, FindsTheProgramsInstalledBesideIt) {
    // An installation folder that is not on PATH: conspawn.exe and one stage program.
    char dir_template[] = "/tmp/conspawn-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    std::filesystem::copy_file(kConspawn, dir + "/conspawn.exe");
    {
        std::ofstream program(dir + "/stage-program-4711");
        program << "#!/bin/sh\necho found $1\n";
    }
    std::filesystem::permissions(dir + "/stage-program-4711", std::filesystem::perms::owner_all);
    const std::string helper = "'" + dir + "/conspawn.exe'";
    // Found before PATH, and PATH still reaches the ordinary tools.
    auto found = run("PATH=/usr/bin:/bin " + helper + " 'stage-program-4711 x | tr a-z A-Z'");
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.output, "FOUND X\n");
    // Without PATH the system's default search follows the folder.
    auto unset = run("env -u PATH " + helper + " 'stage-program-4711 y | tr a-z A-Z'");
    EXPECT_EQ(unset.output, "FOUND Y\n");
    std::filesystem::remove_all(dir);
}

TEST(conspawn, SignalDeathPassesThrough) {
    auto r = run("\"$CONSPAWN\" 'kill -TERM $$'; echo \"status $?\"");
    EXPECT_EQ(r.output, "status 143\n")
        << "the shell reports 128 + SIGTERM for a child killed by it";
}

}  // namespace
