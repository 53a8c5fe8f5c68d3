// The browser host with a real bridge: dialogs wait on the UI loop until a
// shell answers over HTTP; without a shell they answer at once.
#include "browser_host.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

using nlohmann::json;

namespace {

const std::string kToken = "fedcba9876543210fedcba9876543210";

// A stand-in shell: reads the event stream and answers each modal with `reply`.
class AnsweringShell {
public:
    AnsweringShell(int port, std::function<json(const json&)> reply)
        : port_(port), reply_(std::move(reply)) {
        thread_ = std::thread([this] {
            client_.set_read_timeout(5, 0);
            client_.Get("/~shell/events", {{"X-Taloria-Token", kToken}},
                        [this](const char* data, size_t n) {
                            buffer_.append(data, n);
                            Answer();
                            std::lock_guard lock(mutex_);
                            connected_ = true;
                            cv_.notify_all();
                            return true;
                        });
        });
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(5), [this] { return connected_; });
    }
    ~AnsweringShell() {
        client_.stop();
        thread_.join();
    }
    std::vector<json> seen;

private:
    void Answer() {
        static const std::regex modal("event: modal\ndata: (.*)\n\n");
        std::smatch match;
        while (std::regex_search(buffer_, match, modal)) {
            const json event = json::parse(match[1].str());
            buffer_ = match.suffix();
            seen.push_back(event);
            json answer = reply_(event);
            answer["id"] = event["id"];
            httplib::Client poster("127.0.0.1", port_);
            poster.Post("/~shell/reply", {{"X-Taloria-Token", kToken}}, answer.dump(),
                        "application/json");
        }
    }

    int port_;
    std::function<json(const json&)> reply_;
    httplib::Client client_{"127.0.0.1", port_};
    std::thread thread_;
    std::string buffer_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool connected_ = false;
};

// Forms shaped like the application's File Needed and Configuration dialogs.
framework::DialogForm FileNeeded(const std::string& message, const std::string& path) {
    framework::DialogForm form;
    form.kind = "fileNeeded";
    form.caption = "File Needed";
    form.message = message;
    form.fields.push_back({framework::DialogField::Type::file, "path", "", path, false});
    return form;
}

framework::DialogForm Configuration(bool old_console) {
    framework::DialogForm form;
    form.kind = "configuration";
    form.group = "Windows Compatibility";
    form.fields.push_back({framework::DialogField::Type::check, "oldConsole",
                           "Support older Windows versions", "", old_console});
    return form;
}

class shell_browser_host : public ::testing::Test {
protected:
    void SetUp() override {
        shell::BridgeOptions options;
        options.app_dir = "/tmp";
        options.token = kToken;
        options.heartbeat_ms = 100;
        bridge_ = std::make_unique<shell::Bridge>(options);
        std::string error;
        ASSERT_TRUE(bridge_->start(error)) << error;
        host_ = std::make_unique<shell::BrowserUiHost>(*bridge_, [this] { return states_; });
    }
    std::unique_ptr<shell::Bridge> bridge_;
    std::unique_ptr<shell::BrowserUiHost> host_;
    shell::CommandStates states_;
};

TEST_F(shell_browser_host, DialogsWaitForTheShellsAnswer) {
    AnsweringShell shell(bridge_->port(), [](const json& event) -> json {
        if (event["kind"] == "fileNeeded")
            return {{"ok", true}, {"path", "/data/" + event["path"].get<std::string>()}};
        if (event["kind"] == "configuration")
            return {{"ok", true}, {"oldConsole", !event["oldConsole"].get<bool>()}};
        if (event["kind"] == "fileSave") return {{"ok", false}};
        return {{"ok", true}};
    });
    ASSERT_TRUE(bridge_->shell_connected());

    framework::DialogForm needed = FileNeeded("Pick one", "a.txt");
    EXPECT_TRUE(host_->form_dialog(needed));
    EXPECT_EQ(needed.fields[0].text, "/data/a.txt");
    framework::DialogForm configuration = Configuration(false);
    EXPECT_TRUE(host_->form_dialog(configuration));
    EXPECT_TRUE(configuration.fields[0].checked);
    std::string target = "kept";
    EXPECT_FALSE(host_->file_dialog(framework::FileChooser::save, target));
    EXPECT_EQ(target, "kept");
    host_->message_box("Command 'x' fails");
    ASSERT_EQ(shell.seen.size(), 4u);
    EXPECT_EQ(shell.seen[0]["message"], "Pick one");
    EXPECT_EQ(shell.seen[0]["caption"], "File Needed");
    EXPECT_EQ(shell.seen[0]["fields"][0]["type"], "file");
    EXPECT_EQ(shell.seen[1]["group"], "Windows Compatibility");
    EXPECT_EQ(shell.seen[1]["fields"][0]["label"], "Support older Windows versions");
    EXPECT_EQ(shell.seen[3]["kind"], "messageBox");
    EXPECT_EQ(shell.seen[3]["text"], "Command 'x' fails");
}

TEST_F(shell_browser_host, WithoutAShellMessagesPrintAndDialogsCancel) {
    ASSERT_FALSE(bridge_->shell_connected());
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    host_->message_box("No configuration files found");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "taloria2: No configuration files found\n");
    framework::DialogForm needed = FileNeeded("Pick", "proposed");
    EXPECT_FALSE(host_->form_dialog(needed));
    EXPECT_EQ(needed.fields[0].text, "proposed");
    framework::DialogForm configuration = Configuration(true);
    EXPECT_FALSE(host_->form_dialog(configuration));
    EXPECT_TRUE(configuration.fields[0].checked);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(shell_browser_host, CommandStatesComeFromTheProvider) {
    states_ = {};
    states_.play = true;
    states_.pause = true;
    states_.file = "/app/html/speech.wav";
    states_.playing = true;
    host_->command_states_changed();
    std::string events;
    {
        httplib::Client c("127.0.0.1", bridge_->port());
        c.set_read_timeout(5, 0);
        c.Get("/~shell/events", {{"X-Taloria-Token", kToken}}, [&](const char* data, size_t n) {
            events.append(data, n);
            return events.find("event: replay") == std::string::npos;
        });
    }
    EXPECT_NE(events.find(R"({"pause":true,"paused":false,"play":true,"stop":false})"),
              std::string::npos)
        << events;
    // The signal panel hears which file the player has open.
    EXPECT_NE(events.find(R"({"file":"/app/html/speech.wav","paused":false,"playing":true})"),
              std::string::npos)
        << events;
}

}  // namespace
