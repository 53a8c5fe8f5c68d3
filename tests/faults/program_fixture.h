// A running taloria2 on an app directory made by the test, with raw-socket and
// library clients, for the fault and load tests of the whole program.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "launch_taloria2.h"

namespace faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline long long Millis(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A connected loopback socket, closed on destruction.
class RawSocket {
public:
    explicit RawSocket(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 &&
            ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    // False once the peer has closed the connection or the write failed.
    bool Send(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads whatever arrives within `timeout_ms`, until the peer closes or
    // `enough` says the text is complete.
    std::string Receive(int timeout_ms,
                        const std::function<bool(const std::string&)>& enough = nullptr) {
        std::string text;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
            if (enough && enough(text)) break;
        }
        return text;
    }
    // True when the server closed the connection (seen by Receive).
    bool closed() const { return closed_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool closed_ = false;
};

// The status code of a raw HTTP response, or 0 when there is none.
inline int StatusOf(const std::string& response) {
    std::smatch match;
    if (std::regex_search(response, match, std::regex(R"(^HTTP/1\.[01] (\d{3}))")))
        return std::stoi(match[1]);
    return 0;
}

// One taloria2 on a fresh app directory: html/ and help/ as shipped, config/
// only with the files the test gives.
class Program : public ::testing::Test {
protected:
    // Stage configurations, file name to content; the stage digit leads the name.
    virtual std::map<std::string, std::string> Configurations() = 0;

    void SetUp() override {
        // Every test is bounded: SIGALRM ends the test process if anything hangs.
        alarm(110);
        // A server that refuses a body may close while the client still writes it.
        signal(SIGPIPE, SIG_IGN);
        root_ = fs::temp_directory_path() / ("taloria-faults-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "app/config");
        fs::create_directories(root_ / "home");
        const fs::path shipped = fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata";
        fs::copy(shipped / "html", root_ / "app/html", fs::copy_options::recursive);
        fs::copy(shipped / "help", root_ / "app/help", fs::copy_options::recursive);
        for (const auto& [name, text] : Configurations())
            std::ofstream(root_ / "app/config" / name) << text;
        app_dir_ = fs::canonical(root_ / "app").string();
        // The first New writes the results page; its appearance says start-up is over.
        fs::remove(root_ / "app/html/system.htm");
        StartProgram();
        const auto start = Clock::now();
        while (!fs::exists(root_ / "app/html/system.htm") && Millis(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::exists(root_ / "app/html/system.htm"))
            << "taloria2 did not finish its start-up";
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(root_);
        alarm(0);
    }

    void StartProgram() {
        stderr_path_ = root_ / "stderr.txt";
        test_launch::Launched launched;
        const std::string error = test_launch::LaunchTaloria2(
            app_dir_, root_ / "home", root_ / "capture.pcm", "0", stderr_path_, launched);
        pid_ = launched.pid;
        ASSERT_EQ(error, "");
        port_ = launched.port;
        token_ = launched.token;
    }

    // True while taloria2 has not ended.
    bool Alive() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    httplib::Client Client(int read_timeout_s = 30) {
        httplib::Client c("127.0.0.1", port_);
        c.set_connection_timeout(10, 0);
        c.set_read_timeout(read_timeout_s, 0);
        c.set_write_timeout(10, 0);
        c.set_default_headers({{"X-Taloria-Token", token_}});
        return c;
    }

    // The Host and token lines every hand-made request needs.
    std::string Headers() const {
        return "Host: 127.0.0.1:" + std::to_string(port_) + "\r\nX-Taloria-Token: " + token_ +
               "\r\n";
    }

    // Submits the input form; the answer comes when the run has ended.
    httplib::Result PostRun(const std::string& config1, const std::string& input = "x",
                            int read_timeout_s = 60) {
        auto c = Client(read_timeout_s);
        return c.Post((app_dir_ + "/html/input.htm").c_str(),
                      "input=" + httplib::detail::encode_query_param(input) +
                          "&config1=" + httplib::detail::encode_query_param(config1) +
                          "&config2=None&config3=None&run=Run",
                      "application/x-www-form-urlencoded");
    }

    // Fetches a page and returns how long the answer took (ms), -1 when it failed.
    long long TimedPageFetch(const std::string& path = "/help/index.html") {
        const auto start = Clock::now();
        auto c = Client(20);
        auto page = c.Get((app_dir_ + path).c_str());
        if (!page || page->status != 200) return -1;
        return Millis(start);
    }

    fs::path Output(int stage, int index, const char* ext = ".txt") const {
        return fs::path(app_dir_) / "html" /
               ("output" + std::to_string(stage) + "-" + std::to_string(index) + ext);
    }

    fs::path root_;
    fs::path stderr_path_;
    std::string app_dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string token_;
};

// Reads the event stream on a thread of its own and keeps every byte.
class EventReader {
public:
    EventReader(int port, const std::string& token) : client_("127.0.0.1", port) {
        client_.set_read_timeout(60, 0);
        client_.set_default_headers({{"X-Taloria-Token", token}});
        thread_ = std::thread([this] {
            client_.Get("/~shell/events", [this](const char* data, size_t n) {
                std::lock_guard lock(mutex_);
                text_.append(data, n);
                cv_.notify_all();
                return !done_.load();
            });
        });
    }
    ~EventReader() {
        done_ = true;
        client_.stop();
        thread_.join();
    }
    // Waits until the stream holds `pattern`; the text seen so far.
    bool WaitFor(const std::string& pattern, int timeout_ms, std::string* seen = nullptr) {
        std::unique_lock lock(mutex_);
        const bool found = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [&] { return text_.find(pattern) != std::string::npos; });
        if (seen) *seen = text_;
        return found;
    }

private:
    httplib::Client client_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
    std::atomic<bool> done_{false};
};

}  // namespace faults
