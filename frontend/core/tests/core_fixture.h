// Test fixture of the pipeline core: a temporary application directory with
// config, html and help folders, a private settings folder and a recording host.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "file_io.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "test_watchdog.h"
#include "ui_host_recording.h"

namespace core_test {

namespace fs = std::filesystem;

inline std::string Slurp(const std::string& path) {
    std::string data;
    if (!framework::ReadBinaryFile(path, data)) return "<missing>";
    return data;
}

inline void Spit(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        watchdog = std::make_unique<framework::TestWatchdog>(std::chrono::seconds(60));
        std::string pattern = (fs::temp_directory_path() / "core-test-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        app_dir = root + "/app";
        for (const char* sub : {"/config", "/html", "/help"}) fs::create_directories(app_dir + sub);
        Spit(app_dir + "/html/input.htt", "<form>\n%1\n<select>\n%2\n</select>\n%3\n%4\n</form>\n");
        Spit(app_dir + "/html/system.htt", "<table>\n%1\n</table>\n");
        ::setenv("XDG_CONFIG_HOME", (root + "/xdg").c_str(), 1);
        old_cwd = fs::current_path();
        host = std::make_unique<framework::RecordingUiHost>();
        framework::set_ui_host(host.get());
    }

    void TearDown() override {
        app.reset();
        framework::set_ui_host(nullptr);
        std::error_code error;
        fs::current_path(old_cwd, error);
        fs::remove_all(root, error);
        watchdog.reset();
    }

    // Starts a fresh application object on the application directory.
    CTaloriaApp& Start() {
        app.reset();
        app = std::make_unique<CTaloriaApp>();
        app->m_strStartDir = app_dir;
        EXPECT_EQ(app->InitInstance(), 1);
        return *app;
    }

    void Config(const std::string& file, const std::string& text) {
        Spit(app_dir + "/config/" + file, text);
    }

    CTaloriaDoc& Doc() { return *app->GetTaloriaDoc(); }

    std::unique_ptr<framework::TestWatchdog> watchdog;
    std::string root, app_dir;
    fs::path old_cwd;
    std::unique_ptr<framework::RecordingUiHost> host;
    std::unique_ptr<CTaloriaApp> app;
};

}  // namespace core_test
