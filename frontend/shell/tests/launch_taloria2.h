// Starts the real taloria2 for a test: on an app directory, on a free port of
// 127.0.0.1, without a browser, with its settings and played audio kept in the
// test's own folder, and reads the address it prints.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace test_launch {

struct Launched {
    pid_t pid = -1;
    int port = 0;
    std::string token;
};

// How to start a program that prints the address: its path, arguments,
// environment changes and working folder.
struct LaunchSpec {
    std::string program = std::string(TALORIA_BIN_DIR) + "/taloria2";
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    std::filesystem::path working_dir;  // empty: the test's own
    std::filesystem::path stderr_path;  // empty: the test's standard error
};

// Starts the program and reads the address it prints first. Returns an empty
// string on success and what went wrong otherwise; `launched.pid` is set
// whenever a child started.
inline std::string LaunchProgram(const LaunchSpec& launch, Launched& launched) {
    int out[2];
    if (pipe(out) != 0) return "no pipe";
    launched.pid = fork();
    if (launched.pid == 0) {
        // The program must not outlive a test process that was ended abruptly.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        if (!launch.stderr_path.empty()) {
            const int err = ::open(launch.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
        }
        close(out[0]);
        close(out[1]);
        for (const auto& [name, value] : launch.set_env) setenv(name.c_str(), value.c_str(), 1);
        for (const std::string& name : launch.unset_env) unsetenv(name.c_str());
        if (!launch.working_dir.empty() && chdir(launch.working_dir.c_str()) != 0) _exit(126);
        std::vector<char*> argv{const_cast<char*>(launch.program.c_str())};
        for (const std::string& arg : launch.args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(launch.program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* stream = fdopen(out[0], "r");
    char line[512] = {0};
    const bool got_line = fgets(line, sizeof line, stream) != nullptr;
    fclose(stream);
    if (!got_line) return "the program printed no address";
    std::smatch match;
    const std::string text = line;
    if (!std::regex_search(
            text, match,
            std::regex(
                R"(^Taloria is at http://127\.0\.0\.1:(\d+)/~shell/\?token=([0-9a-f]{32})\n$)"))) {
        return "unexpected first line: " + text;
    }
    launched.port = std::stoi(match[1]);
    launched.token = match[2];
    return "";
}

// Settings go to `home`, audio to the capture file `capture`, played at
// `replay_speed` ("0": at once, "1": real time). Standard error goes to
// `stderr_path` unless it is empty. Returns an empty string on success and
// what went wrong otherwise; `launched.pid` is set whenever a child started.
inline std::string LaunchTaloria2(const std::string& app_dir, const std::filesystem::path& home,
                                  const std::filesystem::path& capture, const char* replay_speed,
                                  const std::filesystem::path& stderr_path, Launched& launched) {
    LaunchSpec launch;
    launch.args = {"--appdir", app_dir, "--port", "0", "--no-browser"};
    launch.set_env = {{"XDG_CONFIG_HOME", home.string()},
                      {"TALORIA_WAVEOUT", "capture:" + capture.string()},
                      {"TALORIA_WAVEOUT_SPEED", replay_speed}};
    launch.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
    launch.stderr_path = stderr_path;
    return LaunchProgram(launch, launched);
}

}  // namespace test_launch
