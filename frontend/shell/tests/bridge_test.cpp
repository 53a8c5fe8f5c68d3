// The bridge with a real server on a loopback port and real clients: token,
// Host and Origin refusals, escapes from the served folder, the body limit,
// form posts, the event stream and modal replies.
#include "bridge.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

// An open connection to the bridge that the test writes to by hand; -1 when
// it cannot connect. Reads time out after `timeout_s`.
int connect_to(int port, int timeout_s = 10) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    timeval timeout{timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Reads until the server closes; the whole answer.
std::string read_to_end(int fd) {
    std::string response;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        response.append(buffer, static_cast<std::size_t>(n));
    return response;
}

// Sends one raw request and returns the whole response text, so paths reach
// the server exactly as written.
std::string raw_request(int port, const std::string& request) {
    const int fd = connect_to(port, 5);
    if (fd < 0) return {};
    (void)!write(fd, request.data(), request.size());
    std::string response = read_to_end(fd);
    close(fd);
    return response;
}

int status_of(const std::string& response) {
    if (response.size() < 12) return 0;
    return std::atoi(response.substr(9, 3).c_str());
}

class shell_bridge : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-bridge-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "app/html");
        fs::create_directories(root_ / "outside");
        std::ofstream(root_ / "app/html/page.htm") << "<p>page</p>";
        std::ofstream(root_ / "app/html/out put.txt") << "spaced";
        std::ofstream(root_ / "outside/secret.txt") << "secret";
        fs::create_symlink(root_ / "outside/secret.txt", root_ / "app/html/link.txt");
        fs::create_directory_symlink(root_ / "outside", root_ / "app/out");
        app_ = fs::canonical(root_ / "app").string();

        shell::BridgeOptions options;
        options.app_dir = app_;
        options.token = kToken;
        options.max_body_bytes = 64 * 1024;
        options.heartbeat_ms = 100;
        bridge_ = std::make_unique<shell::Bridge>(options);
        bridge_->on_form([this](const std::string& url, const std::string& body) {
            std::lock_guard lock(mutex_);
            forms_.emplace_back(url, body);
            return !body.empty();  // as the view: a post without fields goes ahead
        });
        bridge_->on_link([](const std::string& url) { return url.find("#") != std::string::npos; });
        bridge_->on_command([this](const std::string& name, const std::string&) {
            std::lock_guard lock(mutex_);
            commands_.push_back(name);
            return name == "new";
        });
        bridge_->on_stop([this] { stops_++; });
        std::string error;
        ASSERT_TRUE(bridge_->start(error)) << error;
        port_ = bridge_->port();
    }
    void TearDown() override {
        bridge_.reset();
        fs::remove_all(root_);
    }

    httplib::Client client(bool with_token = true) {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(5, 0);
        c.set_connection_timeout(5, 0);
        if (with_token) c.set_default_headers({{"X-Taloria-Token", kToken}});
        return c;
    }

    std::string get_raw(const std::string& target, const std::string& extra = "") {
        return raw_request(port_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                      std::to_string(port_) + "\r\nX-Taloria-Token: " + kToken +
                                      "\r\n" + extra + "Connection: close\r\n\r\n");
    }

    fs::path root_;
    std::string app_;
    std::unique_ptr<shell::Bridge> bridge_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> forms_;
    std::vector<std::string> commands_;
    std::atomic<int> stops_{0};
};

TEST_F(shell_bridge, ServesFilesInsideTheAppDirectory) {
    auto c = client();
    auto res = c.Get((app_ + "/html/page.htm").c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<p>page</p>");
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
    // Percent-encoded names are decoded to the file's own name.
    const std::string response = get_raw(app_ + "/html/out%20put.txt");
    EXPECT_EQ(status_of(response), 200);
    EXPECT_NE(response.find("spaced"), std::string::npos);
}

TEST_F(shell_bridge, NoWayOutOfTheAppDirectory) {
    const std::string attempts[] = {
        app_ + "/../outside/secret.txt",
        app_ + "/html/../../outside/secret.txt",
        app_ + "/%2e%2e/outside/secret.txt",
        app_ + "/%2E%2E/outside/secret.txt",
        app_ + "/html/%2e%2e%2f%2e%2e%2foutside/secret.txt",
        app_ + "/html/link.txt",
        app_ + "/out/secret.txt",
        root_.string() + "/outside/secret.txt",
        "/etc/passwd",
        "//etc/passwd",
        app_ + "/html/page.htm%00.txt",
        app_ + "/html/link.txt%00",
    };
    for (const std::string& target : attempts) {
        const std::string response = get_raw(target);
        EXPECT_NE(status_of(response), 200) << target;
        EXPECT_EQ(response.find("secret"), std::string::npos) << target;
    }
}

TEST_F(shell_bridge, FoldersAreNeverListed) {
    for (const std::string& target :
         {app_, app_ + "/", app_ + "/html", app_ + "/html/", std::string("/")}) {
        const std::string response = get_raw(target);
        EXPECT_EQ(status_of(response), 404) << target;
        EXPECT_EQ(response.find("page.htm"), std::string::npos) << target;
    }
}

TEST_F(shell_bridge, TokenIsRequiredAndBecomesAStrictCookie) {
    auto anonymous = client(false);
    auto refused = anonymous.Get((app_ + "/html/page.htm").c_str());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    auto wrong =
        anonymous.Get((app_ + "/html/page.htm?token=0123456789abcdef0123456789abcdee").c_str());
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 403);
    auto shell_page = anonymous.Get(("/~shell/?token=" + kToken).c_str());
    ASSERT_TRUE(shell_page);
    EXPECT_EQ(shell_page->status, 200);
    const std::string cookie = shell_page->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("taloria_token=" + kToken), std::string::npos);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    auto with_cookie =
        anonymous.Get((app_ + "/html/page.htm").c_str(), {{"Cookie", "taloria_token=" + kToken}});
    ASSERT_TRUE(with_cookie);
    EXPECT_EQ(with_cookie->status, 200);
    // Refusals come before any handler: a form post without the token never arrives.
    auto post = anonymous.Post("/x", "input=a", "application/x-www-form-urlencoded");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 403);
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(forms_.empty());
}

TEST_F(shell_bridge, ForeignOrMissingHostIsRefused) {
    const std::string port = std::to_string(port_);
    struct Case {
        std::string host_line;
        int status;
    };
    const Case cases[] = {
        {"Host: 127.0.0.1:" + port + "\r\n", 200},
        {"Host: localhost:" + port + "\r\n", 200},
        {"Host: [::1]:" + port + "\r\n", 200},
        {"Host: evil.example:" + port + "\r\n", 403},
        {"Host: 127.0.0.1\r\n", 403},
        {"Host: 127.0.0.1:1\r\n", 403},
        {"", 403},
    };
    for (const Case& c : cases) {
        const std::string response =
            raw_request(port_, "GET " + app_ + "/html/page.htm HTTP/1.1\r\n" + c.host_line +
                                   "X-Taloria-Token: " + kToken + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(status_of(response), c.status) << c.host_line;
    }
}

TEST_F(shell_bridge, PostsFromAForeignOriginAreRefused) {
    auto c = client();
    const std::string own = "http://127.0.0.1:" + std::to_string(port_);
    auto foreign = c.Post("/x", {{"Origin", "http://evil.example"}}, "input=a",
                          "application/x-www-form-urlencoded");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    auto null_origin = c.Post("/~shell/stop", {{"Origin", "null"}}, "{}", "application/json");
    ASSERT_TRUE(null_origin);
    EXPECT_EQ(null_origin->status, 403);
    EXPECT_EQ(stops_.load(), 0);
    auto ok = c.Post("/x", {{"Origin", own}}, "input=a", "application/x-www-form-urlencoded");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 204);
}

TEST_F(shell_bridge, BodiesOverTheLimitAreRefused) {
    auto c = client();
    auto big = c.Post("/x", std::string(65 * 1024, 'a'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(forms_.empty());
}

TEST_F(shell_bridge, FormPostsToAnyPathAreNavigationsAnswered204) {
    auto c = client();
    auto res = c.Post((app_ + "/html/input.htm").c_str(), "input=hello+world%0D%0A&config1=A",
                      "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    auto other = c.Post("/anything/else", "go=Run", "application/x-www-form-urlencoded");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 204);
    std::lock_guard lock(mutex_);
    ASSERT_EQ(forms_.size(), 2u);
    EXPECT_EQ(forms_[0].first, app_ + "/html/input.htm");
    EXPECT_EQ(forms_[0].second, "input=hello+world%0D%0A&config1=A");  // raw: the view decodes
    EXPECT_EQ(forms_[1].first, "/anything/else");
}

TEST_F(shell_bridge, APostThatGoesAheadSendsTheBrowserToItsAddress) {
    auto c = client();
    auto res =
        c.Post((app_ + "/html/page.htm?x=1").c_str(), "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), app_ + "/html/page.htm?x=1");
    std::lock_guard lock(mutex_);
    ASSERT_EQ(forms_.size(), 1u);
    EXPECT_EQ(forms_[0].first, app_ + "/html/page.htm");
}

TEST_F(shell_bridge, ShellFilesCommandsLinksAndStop) {
    auto c = client();
    auto page = c.Get("/~shell/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("id=\"view\""), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "SAMEORIGIN");
    auto script = c.Get("/~shell/shell.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    auto missing = c.Get("/~shell/nothing.js");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);

    auto known = c.Post("/~shell/command", R"({"command":"new"})", "application/json");
    ASSERT_TRUE(known);
    EXPECT_EQ(known->status, 204);
    auto unknown = c.Post("/~shell/command", R"({"command":"fly"})", "application/json");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    auto malformed = c.Post("/~shell/command", "{not json", "application/json");
    ASSERT_TRUE(malformed);
    EXPECT_EQ(malformed->status, 400);

    auto link = c.Post("/~shell/link", R"({"url":"/a/x.wav#1.5"})", "application/json");
    ASSERT_TRUE(link);
    EXPECT_EQ(json::parse(link->body)["cancel"], true);
    auto plain = c.Post("/~shell/link", R"({"url":"/a/x.wav"})", "application/json");
    ASSERT_TRUE(plain);
    EXPECT_EQ(json::parse(plain->body)["cancel"], false);

    auto stop = c.Post("/~shell/stop", "{}", "application/json");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->status, 204);
    EXPECT_EQ(stops_.load(), 1);
}

// Reads an event stream on a thread of its own until told to stop.
class StreamReader {
public:
    explicit StreamReader(int port) {
        thread_ = std::thread([this, port] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(5, 0);
            c.Get("/~shell/events", {{"X-Taloria-Token", kToken}}, [&](const char* data, size_t n) {
                std::lock_guard lock(mutex_);
                text_.append(data, n);
                cv_.notify_all();
                return !done_;
            });
        });
    }
    ~StreamReader() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        thread_.join();
    }
    // Waits until the stream holds `needle`; false after two seconds.
    bool wait_for(const std::string& needle) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(2),
                            [&] { return text_.find(needle) != std::string::npos; });
    }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
    bool done_ = false;
};

TEST_F(shell_bridge, LateShellGetsTheStateReplayed) {
    bridge_->navigate(app_ + "/help/index.html", "");
    bridge_->navigate(app_ + "/html/system.htm", "LEFT");
    bridge_->set_command_states(true, false, false);
    bridge_->add_notice("No configuration for stage 2");
    const int id = bridge_->open_modal("messageBox", {{"text", "Command 'x' fails"}});
    StreamReader reader(port_);
    EXPECT_TRUE(reader.wait_for("event: hello"));
    EXPECT_TRUE(reader.wait_for(R"("frame":"","path":")" + app_ + "/help/index.html\""));
    EXPECT_TRUE(reader.wait_for(R"("frame":"LEFT")"));
    EXPECT_TRUE(reader.wait_for(R"({"pause":false,"paused":false,"play":true,"stop":false})"));
    EXPECT_TRUE(reader.wait_for("No configuration for stage 2"));
    EXPECT_TRUE(reader.wait_for("Command 'x' fails"));
    EXPECT_TRUE(bridge_->shell_connected());
    bridge_->close_modal(id);
    EXPECT_TRUE(reader.wait_for("event: modalClosed"));
}

TEST_F(shell_bridge, ModalRepliesReachTheWaitingSide) {
    std::atomic<int> wakes{0};
    bridge_->on_modal_answer([&] { wakes++; });
    StreamReader reader(port_);
    const int id =
        bridge_->open_modal("fileNeeded", {{"message", "Need a file"}, {"path", "a.txt"}});
    EXPECT_TRUE(reader.wait_for("Need a file"));
    EXPECT_FALSE(bridge_->modal_answer(id));

    // The file chooser may list folders only while such a dialog is open.
    auto c = client();
    auto listing = c.Get(("/~shell/fs?path=" + app_ + "/html").c_str());
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->status, 200);
    EXPECT_NE(listing->body.find("page.htm"), std::string::npos);
    // A name that does not exist yet (Save As) lists the nearest folder that does.
    auto proposed = c.Get(("/~shell/fs?path=" + app_ + "/html/new/doc.talor").c_str());
    ASSERT_TRUE(proposed);
    ASSERT_EQ(proposed->status, 200);
    EXPECT_EQ(json::parse(proposed->body)["path"], app_ + "/html");
    auto of_file = c.Get(("/~shell/fs?path=" + app_ + "/html/page.htm").c_str());
    ASSERT_TRUE(of_file);
    EXPECT_EQ(json::parse(of_file->body)["path"], app_ + "/html");

    // Replies of the wrong shape are refused and leave the dialog open.
    for (const char* bad :
         {R"({"id":"1","ok":true})", R"({"ok":true})", R"([1])", "{", R"({"id":1,"ok":"yes"})",
          R"({"id":1,"ok":true,"path":7})", R"({"id":1,"ok":true,"oldConsole":1})"}) {
        std::string body = bad;
        const std::size_t at = body.find("\"id\":1");
        if (at != std::string::npos) body.replace(at, 6, "\"id\":" + std::to_string(id));
        auto refused = c.Post("/~shell/reply", body, "application/json");
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << body;
    }
    EXPECT_FALSE(bridge_->modal_answer(id));

    auto reply =
        c.Post("/~shell/reply", json{{"id", id}, {"ok", true}, {"path", "/tmp/chosen.txt"}}.dump(),
               "application/json");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 204);
    auto answer = bridge_->modal_answer(id);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["path"], "/tmp/chosen.txt");
    EXPECT_EQ(wakes.load(), 1);
    // A second reply to the same dialog is refused.
    auto again =
        c.Post("/~shell/reply", json{{"id", id}, {"ok", false}}.dump(), "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 404);
    bridge_->close_modal(id);
    auto closed = c.Get(("/~shell/fs?path=" + app_).c_str());
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->status, 403);
}

TEST_F(shell_bridge, TextsThatAreNotUtf8StillReachTheShell) {
    StreamReader reader(port_);
    ASSERT_TRUE(reader.wait_for("event: hello"));
    bridge_->set_progress("Stage 1, command 2: tool caf\xE9 --x");
    bridge_->open_modal("messageBox", {{"text", "Unable to open '/tmp/\xFF'"}});
    EXPECT_TRUE(reader.wait_for("tool caf\xEF\xBF\xBD --x"));
    EXPECT_TRUE(reader.wait_for("Unable to open '/tmp/\xEF\xBF\xBD'"));
}

TEST_F(shell_bridge, CancelAnswersOpenAndLaterModals) {
    const int open = bridge_->open_modal("configuration", {{"oldConsole", false}});
    bridge_->cancel_modals();
    ASSERT_TRUE(bridge_->modal_answer(open));
    EXPECT_EQ((*bridge_->modal_answer(open))["ok"], false);
    const int later = bridge_->open_modal("messageBox", {{"text", "x"}});
    ASSERT_TRUE(bridge_->modal_answer(later));
}

TEST_F(shell_bridge, StopEndsOpenStreams) {
    auto reader = std::make_unique<StreamReader>(port_);
    ASSERT_TRUE(reader->wait_for("event: hello"));
    const auto start = std::chrono::steady_clock::now();
    bridge_->stop();
    reader.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace

namespace {

TEST_F(shell_bridge, LaunchTicketWorksOnceAndGivesTheRealCookie) {
    const std::string url = bridge_->launch_url();
    const std::string target = url.substr(url.find("/~shell/"));
    EXPECT_EQ(target.find(kToken), std::string::npos);
    auto anonymous = client(false);
    auto first = anonymous.Get(target.c_str());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    EXPECT_NE(first->get_header_value("Set-Cookie").find("taloria_token=" + kToken),
              std::string::npos);
    auto second = anonymous.Get(target.c_str());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 403);
}

}  // namespace

namespace {

TEST_F(shell_bridge, DoubledHostAndSendersFromElsewhereAreRefused) {
    const std::string port = std::to_string(port_);
    const std::string own = "http://127.0.0.1:" + port;
    struct Case {
        std::string method;
        std::string lines;
        int status;
    };
    const Case cases[] = {
        {"GET", "", 200},
        {"GET", "Host: evil.example\r\n", 400},
        {"GET", "host: 127.0.0.1:" + port + "\r\n", 400},
        {"POST", "Origin:\r\n", 403},
        {"POST", "Origin: \r\n", 403},
        {"POST", "Origin: " + own + "\r\nOrigin: http://evil.example\r\n", 403},
        {"POST", "Referer: http://evil.example/page.htm\r\n", 403},
        {"POST", "Referer: http://127.0.0.1:" + port + "@evil.example/\r\n", 403},
        {"POST", "Referer: " + own + "/html/input.htm\r\n", 204},
        {"POST", "Origin: " + own + "\r\nReferer: http://evil.example/\r\n", 204},
        {"POST", "", 204},
    };
    for (const Case& c : cases) {
        const std::string body = c.method == "POST" ? "input=a" : "";
        const std::string response = raw_request(
            port_, c.method + " " + app_ + "/html/page.htm HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                       "\r\n" + c.lines + "X-Taloria-Token: " + kToken +
                       "\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                       "Content-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n" + body);
        EXPECT_EQ(status_of(response), c.status) << c.method << " " << c.lines;
    }
    std::lock_guard lock(mutex_);
    EXPECT_EQ(forms_.size(), 3u) << "only the posts from the program's own pages are handled";
}

TEST_F(shell_bridge, DataFilesAreSandboxedAndAppPagesAreNot) {
    fs::create_directories(root_ / "app/help");
    std::ofstream(root_ / "app/help/index.html") << "<p>help</p>";
    std::ofstream(root_ / "app/html/input.htt") << "%1";
    std::ofstream(root_ / "app/html/input.htm") << "<p>input</p>";
    std::ofstream(root_ / "app/html/synthesis.htm") << "<frameset></frameset>";
    std::ofstream(root_ / "app/html/output1-0.xml") << "<utt><w>hello</w></utt>";
    std::ofstream(root_ / "app/html/tee.htm") << "<script>alert(1)</script>";
    std::ofstream(root_ / "app/notes.txt") << "notes";
    std::ofstream(root_ / "app/help/notes.XML") << "<a/>";
    auto c = client();
    for (const std::string page : {"/help/index.html", "/html/input.htm", "/html/synthesis.htm"}) {
        auto res = c.Get((app_ + page).c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << page;
        EXPECT_FALSE(res->has_header("Content-Security-Policy")) << page;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8") << page;
    }
    struct Case {
        std::string path;
        std::string type;
    };
    const Case data[] = {
        {"/html/output1-0.xml", "text/plain; charset=utf-8"},
        {"/html/tee.htm", "text/html; charset=utf-8"},  // a page of html/ without a template
        {"/html/page.htm", "text/html; charset=utf-8"},
        {"/notes.txt", "text/plain; charset=utf-8"},
        {"/help/notes.XML", "text/plain; charset=utf-8"},
    };
    for (const Case& d : data) {
        auto res = c.Get((app_ + d.path).c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << d.path;
        EXPECT_EQ(res->get_header_value("Content-Security-Policy"), "sandbox") << d.path;
        EXPECT_EQ(res->get_header_value("Content-Type"), d.type) << d.path;
    }
}

TEST_F(shell_bridge, AFormBodyCutShortByAHalfCloseIsRefusedAtOnce) {
    const int fd = connect_to(port_);
    ASSERT_GE(fd, 0);
    const std::string head =
        "POST " + app_ + "/html/page.htm HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
        "\r\nX-Taloria-Token: " + kToken +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 100\r\n\r\ninput=a";
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    shutdown(fd, SHUT_WR);
    const auto start = std::chrono::steady_clock::now();
    const std::string response = read_to_end(fd);
    const auto waited = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_EQ(status_of(response), 400);
    EXPECT_LT(waited, std::chrono::seconds(3)) << "the answer must not wait for a read timeout";
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(forms_.empty());
}

// A bridge with a short head deadline and a small cap of connections that
// have not shown the token.
class shell_bridge_guard : public shell_bridge {
protected:
    void SetUp() override {
        shell_bridge::SetUp();
        bridge_.reset();
        shell::BridgeOptions options;
        options.app_dir = app_;
        options.token = kToken;
        options.head_deadline_ms = 1000;
        options.max_unproven_connections = 8;
        bridge_ = std::make_unique<shell::Bridge>(options);
        std::string error;
        ASSERT_TRUE(bridge_->start(error)) << error;
        port_ = bridge_->port();
    }
};

TEST_F(shell_bridge_guard, ASlowHeadIsCutOffAtTheDeadline) {
    const int fd = connect_to(port_);
    ASSERT_GE(fd, 0);
    // One byte every 200 ms: each read is quick, the head never completes.
    const std::string head = "GET " + app_ +
                             "/html/page.htm HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                             "\r\nX-Padding: " + std::string(100, 'x');
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (std::size_t i = 0; i < head.size() && !closed; ++i) {
        if (send(fd, &head[i], 1, MSG_NOSIGNAL) != 1) closed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        char byte;
        const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
        if (got == 0 || (got > 0)) closed = true;  // an answer or the close
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_LT(waited, std::chrono::seconds(4));
}

TEST_F(shell_bridge_guard, ConnectionsWithoutTheTokenGiveWayToNewOnes) {
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) {
        const int fd = connect_to(port_);
        ASSERT_GE(fd, 0);
        (void)!write(fd, "G", 1);
        idle.push_back(fd);
    }
    // The workbench's own request still gets its answer, and at most the cap of
    // the idle connections are still open; the oldest were closed.
    const std::string response = get_raw(app_ + "/html/page.htm");
    EXPECT_EQ(status_of(response), 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int open = 0;
    for (int fd : idle) {
        char byte;
        const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
        if (got < 0 && errno == EAGAIN) ++open;
        close(fd);
    }
    EXPECT_LE(open, 8);
    EXPECT_GE(open, 1);
}

}  // namespace
