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

namespace test_launch {

struct Launched {
    pid_t pid = -1;
    int port = 0;
    std::string token;
};

// Settings go to `home`, audio to the capture file `capture`, played at
// `replay_speed` ("0": at once, "1": real time). Standard error goes to
// `stderr_path` unless it is empty. Returns an empty string on success and
// what went wrong otherwise; `launched.pid` is set whenever a child started.
inline std::string LaunchTaloria2(const std::string& app_dir, const std::filesystem::path& home,
                                  const std::filesystem::path& capture, const char* replay_speed,
                                  const std::filesystem::path& stderr_path, Launched& launched) {
    const std::string program = std::string(TALORIA_BIN_DIR) + "/taloria2";
    int out[2];
    if (pipe(out) != 0) return "no pipe";
    launched.pid = fork();
    if (launched.pid == 0) {
        // The program must not outlive a test process that was ended abruptly.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        if (!stderr_path.empty()) {
            const int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
        }
        close(out[0]);
        close(out[1]);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        setenv("TALORIA_WAVEOUT", ("capture:" + capture.string()).c_str(), 1);
        setenv("TALORIA_WAVEOUT_SPEED", replay_speed, 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        execl(program.c_str(), program.c_str(), "--appdir", app_dir.c_str(), "--port", "0", "--no-browser",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* stream = fdopen(out[0], "r");
    char line[512] = {0};
    const bool got_line = fgets(line, sizeof line, stream) != nullptr;
    fclose(stream);
    if (!got_line) return "taloria2 printed no address";
    std::smatch match;
    const std::string text = line;
    if (!std::regex_search(text, match,
                           std::regex(R"(^Taloria is at http://127\.0\.0\.1:(\d+)/~shell/\?token=([0-9a-f]{32})\n$)"))) {
        return "unexpected first line: " + text;
    }
    launched.port = std::stoi(match[1]);
    launched.token = match[2];
    return "";
}

}  // namespace test_launch
