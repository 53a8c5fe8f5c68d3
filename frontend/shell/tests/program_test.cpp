// taloria2 as a real program, driven over its protocol without a browser:
// options, the printed address, events, a run by form post, Ctrl+C.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "launch_taloria2.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TALORIA_BIN_DIR) + "/taloria2";

std::string RunAndCapture(const std::string& args, int* status) {
    std::string output;
    FILE* pipe = popen((kProgram + " " + args + " 2>&1").c_str(), "r");
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int raw = pipe ? pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

TEST(shell_program, HelpVersionAndBadOptions) {
    int status = -1;
    EXPECT_NE(RunAndCapture("--help", &status).find("--no-browser"), std::string::npos);
    EXPECT_EQ(status, 0);
    EXPECT_NE(RunAndCapture("--version", &status).find("taloria2 "), std::string::npos);
    EXPECT_EQ(status, 0);
    EXPECT_NE(RunAndCapture("--port seventy", &status).find("--port needs a number"),
              std::string::npos);
    EXPECT_EQ(status, 2);
    EXPECT_NE(RunAndCapture("--bogus", &status).find("unknown option '--bogus'"),
              std::string::npos);
    EXPECT_EQ(status, 2);
    EXPECT_NE(RunAndCapture("--appdir /nonexistent/taloria --no-browser", &status)
                  .find("cannot change into"),
              std::string::npos);
    EXPECT_EQ(status, 1);
}

// One running taloria2 on a copy of the shipped app data.
class shell_program_run : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-program-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        fs::copy(fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata", root_ / "app",
                 fs::copy_options::recursive);
        fs::create_directories(root_ / "home");
        std::ofstream(root_ / "app/config/1Environment.txt") << "env $TEXT\n";
        std::ofstream(root_ / "app/config/1Slow.txt") << "sh -c \"echo started; sleep 60\" $TEXT\n";
        app_dir_ = fs::canonical(root_ / "app").string();
        test_launch::Launched launched;
        const std::string error = test_launch::LaunchTaloria2(
            app_dir_, root_ / "home", root_ / "capture.pcm", "0", {}, launched);
        pid_ = launched.pid;
        ASSERT_EQ(error, "");
        port_ = launched.port;
        token_ = launched.token;
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(root_);
    }

    // Sends SIGINT and returns the exit status (-1 when it did not end in 15 s).
    int Interrupt() {
        kill(pid_, SIGINT);
        for (int i = 0; i < 150; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    httplib::Client Client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(60, 0);
        c.set_default_headers({{"X-Taloria-Token", token_}});
        return c;
    }

    fs::path root_;
    std::string app_dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string token_;
};

TEST_F(shell_program_run, StartShowsHelpRunsByFormPostAndSavesAtCtrlC) {
    // The first page is the help index, as the event stream says.
    std::string events;
    {
        std::mutex mutex;
        std::condition_variable cv;
        std::atomic<bool> done{false};
        auto events_client = Client();
        std::thread reader([&] {
            auto& c = events_client;
            c.Get("/~shell/events", [&](const char* data, size_t n) {
                std::lock_guard lock(mutex);
                events.append(data, n);
                cv.notify_all();
                return !done.load();
            });
        });
        std::unique_lock lock(mutex);
        const bool seen = cv.wait_for(lock, std::chrono::seconds(10), [&] {
            return events.find(app_dir_ + "/help/index.html") != std::string::npos;
        });
        done = true;
        lock.unlock();
        events_client.stop();
        reader.join();
        EXPECT_TRUE(seen) << events;
    }

    auto c = Client();
    auto page = c.Get((app_dir_ + "/help/index.html").c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    auto run = c.Post((app_dir_ + "/html/input.htm").c_str(),
                      "input=two+words&config1=Typed+text&config2=No+processing&config3=&run=Run",
                      "application/x-www-form-urlencoded");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 204);
    std::ifstream output(app_dir_ + "/html/output0-0.txt");
    std::stringstream text;
    text << output.rdbuf();
    EXPECT_EQ(text.str(), "two words");

    // Stage commands never learn the token, neither from their arguments nor
    // from their environment.
    auto env_run =
        c.Post((app_dir_ + "/html/input.htm").c_str(), "config1=Environment&config2=No+processing",
               "application/x-www-form-urlencoded");
    ASSERT_TRUE(env_run);
    std::ifstream env_output(app_dir_ + "/html/output0-0.txt");
    std::stringstream environment;
    environment << env_output.rdbuf();
    EXPECT_NE(environment.str().find("XDG_CONFIG_HOME="), std::string::npos);
    EXPECT_EQ(environment.str().find(token_), std::string::npos);

    EXPECT_EQ(Interrupt(), 0);
    std::ifstream settings(root_ / "home/Taloria/Taloria 2.ini");
    std::stringstream saved;
    saved << settings.rdbuf();
    EXPECT_NE(saved.str().find("Stage1=Environment"), std::string::npos) << saved.str();
}

TEST_F(shell_program_run, CtrlCDuringARunStopsTheCommandAndEndsNormally) {
    std::thread poster([&] {
        auto c = Client();
        c.Post((app_dir_ + "/html/input.htm").c_str(), "input=x&config1=Slow&config2=No+processing",
               "application/x-www-form-urlencoded");
    });
    // Wait until the slow command has started.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool running = false;
    while (!running && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        FILE* ps = popen(("pgrep -P " + std::to_string(pid_) + " -f 'sleep 60'").c_str(), "r");
        char line[64];
        running = ps && fgets(line, sizeof line, ps) != nullptr;
        if (ps) pclose(ps);
    }
    ASSERT_TRUE(running);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Interrupt(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    poster.join();
    std::ifstream output(app_dir_ + "/html/output0-0.txt");
    std::stringstream text;
    text << output.rdbuf();
    EXPECT_NE(text.str().find("started"), std::string::npos);
    std::ifstream settings(root_ / "home/Taloria/Taloria 2.ini");
    std::stringstream saved;
    saved << settings.rdbuf();
    EXPECT_NE(saved.str().find("Stage1=Slow"), std::string::npos) << saved.str();
}

}  // namespace
