// The window layer on a virtual X display: the window opens at the size of
// the last session (never below the minimum), loads its page, reports its
// geometry and closes again.
#include "window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "xvfb_display.h"

namespace {

using platform::window::Geometry;
using platform::window::WindowOptions;

TEST(Window, IsNotAvailableWithoutADisplay) {
    const char* saved = std::getenv("DISPLAY");
    const std::string display = saved ? saved : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(platform::window::available());
    if (saved) setenv("DISPLAY", display.c_str(), 1);
}

TEST(Window, OpensLoadsAndClosesOnAVirtualDisplay) {
    if (std::string(platform::window::backend_name()) == "none")
        GTEST_SKIP() << "built without a window layer";
    if (!test_xvfb::XvfbInstalled())
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps --test)";
    test_xvfb::XvfbDisplay xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
    setenv("DISPLAY", xvfb.name().c_str(), 1);
    ASSERT_TRUE(platform::window::available());

    std::mutex mutex;
    std::condition_variable changed;
    bool loaded = false;
    bool load_ok = false;
    WindowOptions options;
    options.title = "Window test";
    options.url = "data:text/html,<title>t</title><p>shown";
    // Narrower than the minimum: the window keeps the minimum width.
    options.geometry = Geometry{40, 30, 300, 700, true};
    options.min_width = 640;
    options.min_height = 440;
    options.on_loaded = [&](bool ok, const std::string&) {
        std::lock_guard lock(mutex);
        loaded = true;
        load_ok = ok;
        changed.notify_all();
    };
    std::string error;
    auto window = platform::window::open_window(options, error);
    ASSERT_NE(window, nullptr) << error;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return loaded; }));
        EXPECT_TRUE(load_ok);
    }
    const Geometry shown = window->geometry();
    EXPECT_EQ(shown.width, 640);
    EXPECT_EQ(shown.height, 700);
    EXPECT_TRUE(shown.has_position);
    EXPECT_EQ(shown.x, 40);
    EXPECT_EQ(shown.y, 30);
    window->close();
    window->close();  // a second close does nothing
    EXPECT_EQ(window->geometry().width, 640);

    // GTK starts once per process: a second window is refused, not crashed.
    EXPECT_EQ(platform::window::open_window(options, error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace
