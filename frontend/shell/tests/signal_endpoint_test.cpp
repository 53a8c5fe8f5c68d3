// GET /~shell/signal through a real server and client: whole files and
// stretches, refused paths and parameters, unreadable files, the cache, and
// a newer request of the same panel abandoning an older one.
#include "signal_endpoint.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "../../analysis/tests/audio_files.h"
#include "../../analysis/tests/signal_test_signals.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kToken = "fedcba9876543210fedcba9876543210";

class shell_signal_endpoint : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-signal-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "app/html");
        fs::create_directories(root_ / "outside");
        app_ = fs::canonical(root_ / "app").string();
        analysis_test::WriteWave(app_ + "/html/tone.wav",
                                 analysis_test::Sine(1000.0, 0.5, 3.0, 16000), 16000);
        analysis_test::WriteWave(root_ / "outside/secret.wav",
                                 analysis_test::Sine(500.0, 0.5, 1.0, 16000), 16000);
        fs::create_symlink(root_ / "outside/secret.wav", app_ + "/html/link.wav");

        shell::BridgeOptions options;
        options.app_dir = app_;
        options.token = kToken;
        bridge_ = std::make_unique<shell::Bridge>(options);
        shell::InstallSignalEndpoint(*bridge_);
        std::string error;
        ASSERT_TRUE(bridge_->start(error)) << error;
    }
    void TearDown() override {
        bridge_.reset();
        fs::remove_all(root_);
    }

    httplib::Result get(const std::string& query, bool with_token = true) {
        httplib::Client c("127.0.0.1", bridge_->port());
        c.set_read_timeout(30, 0);
        if (with_token) c.set_default_headers({{"X-Taloria-Token", kToken}});
        return c.Get(("/~shell/signal?" + query).c_str());
    }

    std::string path_query(const std::string& path) {
        return "path=" + httplib::detail::encode_query_param(path);
    }

    fs::path root_;
    std::string app_;
    std::unique_ptr<shell::Bridge> bridge_;
};

}  // namespace

TEST_F(shell_signal_endpoint, AnswersTheWholeFileAndStretches) {
    auto res = get(path_query(app_ + "/html/tone.wav") + "&columns=300&rows=64");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const json whole = json::parse(res->body);
    EXPECT_EQ(whole["path"], app_ + "/html/tone.wav");
    EXPECT_EQ(whole["rate"], 16000);
    EXPECT_DOUBLE_EQ(whole["duration"].get<double>(), 3.0);
    EXPECT_DOUBLE_EQ(whole["to"].get<double>(), 3.0);
    EXPECT_EQ(whole["columns"], 300);
    EXPECT_EQ(whole["waveMin"].size(), 300u);
    EXPECT_NEAR(whole["waveMax"][150].get<int>(), 16384, 40);
    EXPECT_EQ(whole["spectrogram"].get<std::string>().size(), (300u * 64 + 2) / 3 * 4);
    EXPECT_EQ(whole["pitch"]["hz"].size(), 300u);

    res = get(path_query(app_ + "/html/tone.wav") + "&from=1.25&to=1.75&columns=100&rows=32");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const json part = json::parse(res->body);
    EXPECT_DOUBLE_EQ(part["from"].get<double>(), 1.25);
    EXPECT_DOUBLE_EQ(part["to"].get<double>(), 1.75);
    EXPECT_EQ(part["rows"], 32);
    EXPECT_DOUBLE_EQ(part["pitch"]["step"].get<double>(), 0.01);
}

TEST_F(shell_signal_endpoint, RefusesPathsOutsideAndBadParameters) {
    for (const std::string& path :
         {root_.string() + "/outside/secret.wav", app_ + "/../outside/secret.wav",
          app_ + "/html/link.wav", app_ + "/html/missing.wav", app_ + "/html"}) {
        auto res = get(path_query(path));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 404) << path;
    }
    auto res = get(path_query(app_ + "/html/tone.wav"), false);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    for (const char* bad : {"&from=abc", "&to=1x", "&columns=0", "&columns=100000", "&rows=-1",
                            "&from=nan", "&rows=2000"}) {
        res = get(path_query(app_ + "/html/tone.wav") + bad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
    }
    res = get("from=0");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
}

TEST_F(shell_signal_endpoint, UnreadableFileGivesOneLine) {
    std::ofstream(app_ + "/html/notes.wav") << "these are words, not samples";
    auto res = get(path_query(app_ + "/html/notes.wav"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 422);
    EXPECT_EQ(json::parse(res->body)["error"],
              "Cannot show 'notes.wav': it is not a PCM WAVE or MPEG audio file");
}

TEST_F(shell_signal_endpoint, CachesUntilTheFileChanges) {
    const std::string query = path_query(app_ + "/html/tone.wav") + "&columns=200&rows=32";
    auto first = get(query);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->get_header_value("X-Taloria-Cache"), "miss");
    auto second = get(query);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->get_header_value("X-Taloria-Cache"), "hit");
    EXPECT_EQ(second->body, first->body);
    // Another stretch of the same file is a view of its own.
    auto other = get(query + "&from=1");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->get_header_value("X-Taloria-Cache"), "miss");

    analysis_test::WriteWave(app_ + "/html/tone.wav", analysis_test::Sine(1000.0, 0.5, 2.0, 16000),
                             16000);
    auto changed = get(query);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->get_header_value("X-Taloria-Cache"), "miss");
    EXPECT_DOUBLE_EQ(json::parse(changed->body)["duration"].get<double>(), 2.0);
}

TEST_F(shell_signal_endpoint, NewerRequestOfThePanelAbandonsTheOlder) {
    analysis_test::WriteWave(app_ + "/html/long.wav", analysis_test::Sine(300.0, 0.5, 300.0, 16000),
                             16000);
    const std::string long_query = path_query(app_ + "/html/long.wav") + "&columns=8192&rows=1024";
    auto slow = std::async(std::launch::async, [&] { return get(long_query + "&panel=main"); });
    // Another panel's request does not disturb it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto other_panel = get(path_query(app_ + "/html/tone.wav") + "&columns=50&panel=pinned");
    ASSERT_TRUE(other_panel);
    EXPECT_EQ(other_panel->status, 200);
    ASSERT_EQ(slow.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "the long view ended too soon to be abandoned";
    auto newer = get(path_query(app_ + "/html/tone.wav") + "&columns=50&panel=main");
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->status, 200);
    auto older = slow.get();
    ASSERT_TRUE(older);
    EXPECT_EQ(older->status, 409);
}
