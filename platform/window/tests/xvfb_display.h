// A virtual X display for tests: starts Xvfb on a free display number (it
// picks one itself and reports it) and ends it again.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace test_xvfb {

// True when the Xvfb program can be found along PATH.
inline bool XvfbInstalled() { return std::system("command -v Xvfb >/dev/null 2>&1") == 0; }

class XvfbDisplay {
public:
    // Starts Xvfb with one screen of `width` x `height`; name() is empty when it failed.
    XvfbDisplay(int width = 1280, int height = 900) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
            std::freopen("/dev/null", "w", stderr);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char number[16] = {0};
        ssize_t got = 0;
        while (got < static_cast<ssize_t>(sizeof number) - 1) {
            const ssize_t n = read(fds[0], number + got, sizeof number - 1 - got);
            if (n <= 0) break;
            got += n;
            if (number[got - 1] == '\n') break;
        }
        close(fds[0]);
        if (got > 1 && number[got - 1] == '\n') {
            number[got - 1] = '\0';
            name_ = std::string(":") + number;
        }
    }
    ~XvfbDisplay() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace test_xvfb
