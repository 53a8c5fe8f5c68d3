// taloria2 driven the way docs/shell-protocol.md describes and no other way:
// the printed address, the token header, the event stream, form posts, modal
// replies, commands, link checks and the end of the program.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "launch_taloria2.h"
#include "silent_wave.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr auto kWait = std::chrono::seconds(20);

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Event {
    std::string type;
    json data;
};

// The event stream as a list that grows; waits look for an event after a mark.
class EventStream {
public:
    EventStream(int port, const std::string& token) : m_client("127.0.0.1", port) {
        m_client.set_read_timeout(60, 0);
        m_client.set_default_headers({{"X-Taloria-Token", token}});
        m_reader = std::thread([this] {
            m_client.Get("/~shell/events", [this](const char* data, std::size_t n) {
                Feed(std::string(data, n));
                return !m_closing;
            });
        });
    }
    ~EventStream() {
        m_closing = true;
        m_client.stop();
        m_reader.join();
    }

    std::size_t Mark() {
        std::lock_guard lock(m_mutex);
        return m_events.size();
    }

    // The first event of `type` at or after `from` that `match` accepts; fails
    // the test after the wait.
    json WaitFor(const std::string& type, std::size_t from,
                 std::function<bool(const json&)> match = nullptr) {
        std::unique_lock lock(m_mutex);
        json found;
        const bool seen = m_cv.wait_for(lock, kWait, [&] {
            for (std::size_t i = from; i < m_events.size(); ++i) {
                if (m_events[i].type == type && (!match || match(m_events[i].data))) {
                    found = m_events[i].data;
                    return true;
                }
            }
            return false;
        });
        if (!seen) {
            std::string list;
            for (const Event& e : m_events) list += e.type + " " + e.data.dump() + "\n";
            ADD_FAILURE() << "no '" << type << "' event came; the stream had:\n" << list;
        }
        return found;
    }

    std::vector<Event> Since(std::size_t from) {
        std::lock_guard lock(m_mutex);
        return {m_events.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_events.size())),
                m_events.end()};
    }

private:
    // Frames are "event: TYPE\ndata: JSON\n\n"; comment and retry lines are skipped.
    void Feed(const std::string& bytes) {
        std::lock_guard lock(m_mutex);
        m_pending += bytes;
        std::size_t end;
        while ((end = m_pending.find("\n\n")) != std::string::npos) {
            const std::string frame = m_pending.substr(0, end);
            m_pending.erase(0, end + 2);
            Event event;
            std::istringstream lines(frame);
            std::string line;
            while (std::getline(lines, line)) {
                if (line.rfind("event: ", 0) == 0) event.type = line.substr(7);
                if (line.rfind("data: ", 0) == 0) event.data = json::parse(line.substr(6));
            }
            if (!event.type.empty()) m_events.push_back(event);
        }
        m_cv.notify_all();
    }

    httplib::Client m_client;
    std::thread m_reader;
    std::atomic<bool> m_closing{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_pending;
    std::vector<Event> m_events;
};

class shell_protocol : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-protocol-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "home");
        fs::copy(fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata", root_ / "app",
                 fs::copy_options::recursive);
        std::ofstream(root_ / "app/config/1Ask.txt")
            << "?Echoes a chosen file.\necho $ASK(Pick_one) $TEXT\n";
        std::ofstream(root_ / "app/config/3Broken.txt") << "sh -c \"exit 3\"\n";
        std::ofstream(root_ / "app/config/3Tone.txt")
            << "?Plays the tone.\n$OUTPUT $ARG(html/tone.wav)\n";
        test_wave::WriteSilentWave(root_ / "app/html/tone.wav", 2 * 11000);
        app_dir_ = fs::canonical(root_ / "app").string();
        // Real-time replay leaves time to pause.
        test_launch::Launched launched;
        const std::string error = test_launch::LaunchTaloria2(
            app_dir_, root_ / "home", root_ / "capture.pcm", "1", {}, launched);
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

    httplib::Client Client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(60, 0);
        c.set_default_headers({{"X-Taloria-Token", token_}});
        return c;
    }

    int PostJson(const std::string& path, const json& body) {
        auto c = Client();
        auto res = c.Post(path.c_str(), body.dump(), "application/json");
        return res ? res->status : -1;
    }

    // A form post answered later (it waits for the whole run and its dialogs).
    std::future<int> PostForm(const std::string& body) {
        return std::async(std::launch::async, [this, body] {
            auto c = Client();
            auto res = c.Post((app_dir_ + "/html/input.htm").c_str(), body,
                              "application/x-www-form-urlencoded");
            return res ? res->status : -1;
        });
    }

    int Command(const std::string& name) {
        return PostJson("/~shell/command", {{"command", name}});
    }

    static bool States(const json& data, bool play, bool pause, bool stop, bool paused = false) {
        return data == json{{"play", play}, {"pause", pause}, {"stop", stop}, {"paused", paused}};
    }

    fs::path root_;
    std::string app_dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string token_;
};

TEST_F(shell_protocol, RunsDialogsAndThePlayerWithoutABrowser) {
    EventStream events(port_, token_);
    // A new stream starts with hello, then the state of the moment.
    const json hello = events.WaitFor("hello", 0);
    EXPECT_EQ(hello["title"], "Taloria 2");
    EXPECT_EQ(hello["appDir"], app_dir_);
    events.WaitFor("navigate", 0, [&](const json& d) {
        return d["path"] == app_dir_ + "/help/index.html" && d["frame"] == "";
    });
    EXPECT_TRUE(States(events.WaitFor("commands", 0), false, false, false));

    std::size_t mark = events.Mark();
    EXPECT_EQ(Command("new"), 204);
    events.WaitFor("navigate", mark, [&](const json& d) {
        return d["path"] == app_dir_ + "/html/synthesis.htm" && d["frame"] == "";
    });

    // A run whose "$ASK(" is answered and whose last stage fails: the post is
    // answered only after the File Needed dialog and the message box.
    mark = events.Mark();
    auto run = PostForm("input=abc&config1=Ask&config2=No+processing&config3=Broken&run=Run");
    const json asked =
        events.WaitFor("modal", mark, [](const json& d) { return d["kind"] == "fileNeeded"; });
    EXPECT_EQ(asked["message"], "Pick_one");
    EXPECT_EQ(asked["path"], "");
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(PostJson("/~shell/reply",
                       {{"id", asked["id"]}, {"ok", true}, {"path", "/data/chosen one.txt"}}),
              204);
    events.WaitFor("modalClosed", mark, [&](const json& d) { return d["id"] == asked["id"]; });
    // The same modal cannot be answered twice.
    EXPECT_EQ(PostJson("/~shell/reply", {{"id", asked["id"]}, {"ok", true}}), 404);
    events.WaitFor("progress", mark, [](const json& d) {
        return d["text"] == "Stage 1, command 1: echo /data/chosen one.txt";
    });
    const json box =
        events.WaitFor("modal", mark, [](const json& d) { return d["kind"] == "messageBox"; });
    EXPECT_EQ(box["text"], "Command 'sh -c \"exit 3\"' fails");
    EXPECT_EQ(PostJson("/~shell/reply", {{"id", box["id"]}, {"ok", true}}), 204);
    ASSERT_EQ(run.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(run.get(), 204);
    events.WaitFor("navigate", mark, [&](const json& d) {
        return d["path"] == app_dir_ + "/html/system.htm" && d["frame"] == "LEFT";
    });
    events.WaitFor("progress", mark, [](const json& d) { return d["text"] == ""; });
    EXPECT_EQ(ReadFile(app_dir_ + "/html/output0-0.txt"), "/data/chosen one.txt\n");
    auto c = Client();
    auto results = c.Get((app_dir_ + "/html/system.htm").c_str());
    ASSERT_TRUE(results);
    EXPECT_NE(results->body.find("<a href='output2-0.txt' target='RIGHT'><img src='error.gif'"),
              std::string::npos);

    // Cancel adds nothing to the command line, and the next dialog proposes
    // the last answer. The tone configuration makes Play possible.
    mark = events.Mark();
    run = PostForm("input=abc&config1=Ask&config2=No+processing&config3=Tone");
    const json again =
        events.WaitFor("modal", mark, [](const json& d) { return d["kind"] == "fileNeeded"; });
    EXPECT_EQ(again["path"], "/data/chosen one.txt");
    EXPECT_EQ(PostJson("/~shell/reply", {{"id", again["id"]}, {"ok", false}}), 204);
    ASSERT_EQ(run.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(run.get(), 204);
    EXPECT_EQ(ReadFile(app_dir_ + "/html/output0-0.txt"), "\n");
    events.WaitFor("commands", mark, [](const json& d) { return States(d, true, false, false); });

    // Play, Pause (twice: pause, resume) and Stop, seen through the command
    // states. A paused replay still counts as playing (Stop stays enabled) and
    // says that it is paused; it shows in a replay that outlasts its sound.
    mark = events.Mark();
    EXPECT_EQ(Command("play"), 204);
    EXPECT_EQ(Command("pause"), 204);
    events.WaitFor("commands", mark,
                   [](const json& d) { return States(d, true, true, true, true); });
    mark = events.Mark();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // longer than the tone
    for (const Event& e : events.Since(mark))
        EXPECT_NE(e.type, "commands") << "the paused replay ended";
    EXPECT_EQ(Command("pause"), 204);  // resume: the replay ends by itself
    events.WaitFor("commands", mark, [](const json& d) { return States(d, true, false, false); });
    mark = events.Mark();
    EXPECT_EQ(Command("play"), 204);
    events.WaitFor("commands", mark, [](const json& d) { return States(d, true, true, true); });
    mark = events.Mark();
    EXPECT_EQ(Command("stop"), 204);
    events.WaitFor("commands", mark, [](const json& d) { return States(d, true, false, false); });

    // Link checks: an audio link of the app plays (cancel), others go ahead.
    struct LinkCase {
        std::string url;
        bool cancel;
    };
    const LinkCase links[] = {
        {app_dir_ + "/html/tone.wav#7.5", true},
        {"http://example.org/a.wav", false},
        {app_dir_ + "/html/tone.WAV", false},
        {app_dir_ + "/html/synthesis.htm", false},
    };
    for (const LinkCase& link : links) {
        auto answer = c.Post("/~shell/link", json{{"url", link.url}}.dump(), "application/json");
        ASSERT_TRUE(answer) << link.url;
        EXPECT_EQ(json::parse(answer->body), (json{{"cancel", link.cancel}})) << link.url;
    }
    EXPECT_EQ(Command("stop"), 204);

    // A help button: the help page in RIGHT and no run.
    mark = events.Mark();
    auto help = PostForm("input=abc&config3=Tone&help3=Help");
    ASSERT_EQ(help.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(help.get(), 204);
    events.WaitFor("navigate", mark, [&](const json& d) {
        return d["path"] == app_dir_ + "/html/cfghelp.htm" && d["frame"] == "RIGHT";
    });
    EXPECT_NE(ReadFile(app_dir_ + "/html/cfghelp.htm").find("Plays the tone."), std::string::npos);
    for (const Event& e : events.Since(mark)) EXPECT_NE(e.type, "progress") << e.data.dump();

    // A modal command: the post is answered once the dialog is.
    mark = events.Mark();
    auto configure = std::async(std::launch::async, [this] { return Command("configuration"); });
    const json dialog =
        events.WaitFor("modal", mark, [](const json& d) { return d["kind"] == "configuration"; });
    EXPECT_EQ(dialog["oldConsole"], false);
    EXPECT_EQ(PostJson("/~shell/reply", {{"id", dialog["id"]}, {"ok", true}, {"oldConsole", true}}),
              204);
    ASSERT_EQ(configure.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(configure.get(), 204);
    EXPECT_EQ(Command("no-such-command"), 404);

    // SIGTERM ends the program normally: quit on the stream, settings saved.
    mark = events.Mark();
    kill(pid_, SIGTERM);
    events.WaitFor("quit", mark);
    int status = -1;
    for (int i = 0; i < 150 && pid_ > 0; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(pid_, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(ReadFile(root_ / "home/Taloria/Taloria 2.ini").find("OldConsole=1"),
              std::string::npos);
}

TEST_F(shell_protocol, APostWithoutFieldsGoesAheadAsANavigation) {
    // Sent the moment the address is printed: the handlers are in place by then.
    auto c = Client();
    auto res =
        c.Post((app_dir_ + "/html/input.htm").c_str(), "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), app_dir_ + "/html/input.htm");
    // A post to an audio file that plays is cancelled like a followed link.
    auto played =
        c.Post((app_dir_ + "/html/tone.wav").c_str(), "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(played);
    EXPECT_EQ(played->status, 204);
    EXPECT_EQ(Command("stop"), 204);
}

TEST_F(shell_protocol, RequestsRightAfterTheAddressAreServed) {
    // Commands and links sent the moment the address is printed find their
    // handlers (no 404 for a known command, no dropped request).
    EXPECT_EQ(Command("help"), 204);
    auto c = Client();
    auto link = c.Post("/~shell/link", json{{"url", app_dir_ + "/html/synthesis.htm"}}.dump(),
                       "application/json");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->status, 200);
}

}  // namespace
