// taloria2 as a desktop program: its own window on a virtual display (shown,
// placed as last time, closed like File > Exit with its settings saved), and
// the browser mode's end once its last page has been closed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "launch_taloria2.h"
#include "window.h"
#include "x11_window.h"
#include "xvfb_display.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits for the child to end; its exit status, -2 for a signal, -1 on timeout.
int WaitForExit(pid_t pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        std::this_thread::sleep_for(50ms);
    }
    return -1;
}

bool Running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// An open event stream of a shell page: a connection that reads the stream's
// first event; closing it is closing the page.
class ShellStream {
public:
    ShellStream(int port, const std::string& token) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        const std::string request =
            "GET /~shell/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nX-Taloria-Token: " + token + "\r\nAccept: text/event-stream\r\n\r\n";
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) return;
        std::string seen;
        char buffer[4096];
        while (seen.find("event: hello") == std::string::npos) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        open_ = true;
    }
    ~ShellStream() { Close(); }
    bool open() const { return open_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool open_ = false;
};

class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-desktop-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "elsewhere");
        fs::copy(fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata", root_ / "app",
                 fs::copy_options::recursive);
        settings_ = root_ / "home/Taloria/Taloria 2.ini";
    }
    void TearDown() override {
        if (launched_.pid > 0 && Running(launched_.pid)) {
            kill(launched_.pid, SIGKILL);
            waitpid(launched_.pid, nullptr, 0);
        }
        fs::remove_all(root_);
    }

    test_launch::LaunchSpec LaunchWith(std::vector<std::string> args) {
        test_launch::LaunchSpec launch;
        launch.args = std::move(args);
        launch.set_env = {{"HOME", (root_ / "home").string()},
                          {"XDG_CONFIG_HOME", (root_ / "home").string()},
                          {"XDG_DATA_HOME", (root_ / "data").string()},
                          {"TALORIA_WAVEOUT", "none"},
                          {"TALORIA_IDLE_END_SECONDS", "1"}};
        launch.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
        launch.stderr_path = root_ / "stderr.txt";
        return launch;
    }
    void Launch(const test_launch::LaunchSpec& launch) {
        const std::string error = test_launch::LaunchProgram(launch, launched_);
        ASSERT_EQ(error, "") << ReadFile(root_ / "stderr.txt");
    }

    fs::path root_;
    fs::path settings_;
    test_launch::Launched launched_;
};

// The process and every process it started (the web view's helpers).
std::vector<pid_t> ProcessTree(pid_t top) {
    std::vector<pid_t> tree{top};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string stat = ReadFile(entry.path() / "stat");
            const std::size_t close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream fields(stat.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == tree[i]) tree.push_back(std::stoi(name));
        }
    }
    return tree;
}

// Counts the colours of a screenshot; a shown shell page has many, an empty
// or unpainted window a few.
int ColourCount(const fs::path& png) {
    const std::string command = "convert '" + png.string() + "' -format %k info: 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return 0;
    char text[64] = {0};
    const bool read = fgets(text, sizeof text, pipe) != nullptr;
    pclose(pipe);
    return read ? std::atoi(text) : 0;
}

TEST_F(DesktopTest, WindowShowsTheShellWhereItWasAndClosingEndsLikeExit) {
    if (std::string(platform::window::backend_name()) == "none")
        GTEST_SKIP() << "built without a window layer";
    if (!test_xvfb::XvfbInstalled())
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps --test)";
    if (std::system("command -v import >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ImageMagick's import is not installed";
    test_xvfb::XvfbDisplay xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
    fs::create_directories(settings_.parent_path());
    std::ofstream(settings_) << "[Window]\nWidth=900\nHeight=600\nX=50\nY=40\n";

    // Started from a folder that is no application directory, as from the menu.
    test_launch::LaunchSpec launch = LaunchWith({});
    launch.working_dir = root_ / "elsewhere";
    launch.set_env.push_back({"DISPLAY", xvfb.name()});
    launch.unset_env = {"WAYLAND_DISPLAY"};
    Launch(launch);
    EXPECT_TRUE(fs::exists(root_ / "data/Taloria/help/index.html"))
        << "no per-user application directory";

    test_x11::XConnection x(xvfb.name());
    ASSERT_TRUE(x.open());
    test_x11::FoundWindow window;
    for (int i = 0; i < 600 && !x.Find("Taloria", window); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_NE(window.id, 0u) << ReadFile(root_ / "stderr.txt");
    EXPECT_EQ(window.width, 900);
    EXPECT_EQ(window.height, 600);
    EXPECT_EQ(window.x, 50);
    EXPECT_EQ(window.y, 40);

    // The shell page is painted: menus, toolbar and the help page.
    const fs::path output = fs::path(TALORIA_TEST_OUTPUT_DIR) / "desktop";
    fs::create_directories(output);
    const fs::path shot = output / "window.png";
    const std::string take =
        "import -display " + xvfb.name() + " -window root '" + shot.string() + "'";
    int colours = 0;
    for (int i = 0; i < 120 && colours < 64; ++i) {
        std::this_thread::sleep_for(500ms);
        if (std::system(take.c_str()) == 0) colours = ColourCount(shot);
    }
    EXPECT_GE(colours, 64) << "the window shows no page; see " << shot;

    // The token reached the window in memory only.
    for (pid_t pid : ProcessTree(launched_.pid)) {
        const fs::path proc = fs::path("/proc") / std::to_string(pid);
        EXPECT_EQ(ReadFile(proc / "cmdline").find(launched_.token), std::string::npos)
            << "arguments of " << pid;
        EXPECT_EQ(ReadFile(proc / "environ").find(launched_.token), std::string::npos)
            << "environment of " << pid;
    }

    x.AskToClose(window.id);
    EXPECT_EQ(WaitForExit(launched_.pid, 60s), 0) << ReadFile(root_ / "stderr.txt");
    const std::string settings = ReadFile(settings_);
    EXPECT_NE(settings.find("Width=900"), std::string::npos) << settings;
    EXPECT_NE(settings.find("Height=600"), std::string::npos) << settings;
    EXPECT_NE(settings.find("[Config]"), std::string::npos) << settings;
}

TEST_F(DesktopTest, BrowserModeEndsOnceItsLastPageHasBeenClosed) {
    // No display: the address is printed, and the browser mode's end applies.
    Launch(LaunchWith({"--appdir", (root_ / "app").string(), "--port", "0"}));
    {
        ShellStream first(launched_.port, launched_.token);
        ShellStream second(launched_.port, launched_.token);
        ASSERT_TRUE(first.open() && second.open());
        first.Close();
        std::this_thread::sleep_for(2500ms);
        EXPECT_TRUE(Running(launched_.pid)) << "ended while a page was still open";
    }
    EXPECT_EQ(WaitForExit(launched_.pid, 20s), 0) << ReadFile(root_ / "stderr.txt");
    EXPECT_TRUE(fs::exists(settings_)) << "the settings were not saved";
}

TEST_F(DesktopTest, TheEndWaitsForARunInProgress) {
    std::ofstream(root_ / "app/config/1Slow.txt") << "sh -c \"sleep 3; echo slow\" $TEXT\n";
    Launch(LaunchWith({"--appdir", (root_ / "app").string(), "--port", "0"}));
    auto run = std::async(std::launch::async, [this] {
        httplib::Client client("127.0.0.1", launched_.port);
        client.set_read_timeout(60, 0);
        client.set_default_headers({{"X-Taloria-Token", launched_.token}});
        auto res = client.Post(((root_ / "app/html/input.htm").string()).c_str(),
                               "input=abc&config1=Slow&config2=No+processing&config3=None",
                               "application/x-www-form-urlencoded");
        return res ? res->status : -1;
    });
    {
        ShellStream page(launched_.port, launched_.token);
        ASSERT_TRUE(page.open());
        std::this_thread::sleep_for(300ms);
    }
    // The page closed before the run's three seconds were over; the program
    // ends only once the run has stored its output.
    EXPECT_EQ(run.get(), 204);
    EXPECT_EQ(ReadFile(root_ / "app/html/output0-0.txt"), "slow\n");
    EXPECT_EQ(WaitForExit(launched_.pid, 20s), 0) << ReadFile(root_ / "stderr.txt");
}

TEST_F(DesktopTest, NoBrowserKeepsServingAfterItsPagesClosed) {
    Launch(LaunchWith({"--appdir", (root_ / "app").string(), "--port", "0", "--no-browser"}));
    {
        ShellStream page(launched_.port, launched_.token);
        ASSERT_TRUE(page.open());
    }
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(Running(launched_.pid));
    kill(launched_.pid, SIGTERM);
    EXPECT_EQ(WaitForExit(launched_.pid, 20s), 0);
}

}  // namespace
