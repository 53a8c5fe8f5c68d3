// Tests of the UI loop: order, waiting calls, modal waits and device pumping.
#include "message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_watchdog.h"

namespace framework {
namespace {

// A loop that never wakes must fail the run, not hold it.
class Watchdog : public TestWatchdog {
public:
    Watchdog() : TestWatchdog(std::chrono::seconds(30)) {}
};

// Runs a loop on its own thread for the lifetime of the object.
class LoopThread {
public:
    LoopThread() : thread_([this] { loop.run(); }) {}
    ~LoopThread() {
        loop.quit();
        thread_.join();
    }
    MessageLoop loop;

private:
    std::thread thread_;
};

TEST(framework_MessageLoop, RunsTasksInPostingOrderAndCallReturnsResults) {
    Watchdog watchdog;
    LoopThread runner;
    std::vector<int> seen;
    for (int i = 0; i < 50; ++i) runner.loop.post([&seen, i] { seen.push_back(i); });
    std::vector<int> copy = runner.loop.call([&] { return seen; });
    ASSERT_EQ(copy.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(copy[i], i);

    EXPECT_TRUE(runner.loop.call([&] { return runner.loop.on_loop_thread(); }));
    EXPECT_FALSE(runner.loop.on_loop_thread());
    EXPECT_THROW(runner.loop.call([]() -> int { throw std::runtime_error("x"); }),
                 std::runtime_error);
    // A call made on the loop thread runs at once instead of waiting for itself.
    EXPECT_EQ(runner.loop.call([&] { return runner.loop.call([] { return 7; }); }), 7);
}

TEST(framework_MessageLoop, ModalWaitRunsDeviceNotificationsOnlyAndRequestsAfter) {
    Watchdog watchdog;
    LoopThread runner;
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](std::string what) {
        std::lock_guard lock(mutex);
        order.push_back(std::move(what));
    };
    std::atomic<bool> answered{false};
    std::atomic<bool> in_modal{false};
    runner.loop.post([&] {
        in_modal = true;
        runner.loop.run_modal_until([&] { return answered.load(); });
        note("modal ended");
    });
    while (!in_modal) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    runner.loop.post([&] { note("request"); });
    runner.loop.post([&] { note("device"); }, TaskKind::Device);
    // Wait until the device notification went through the modal wait.
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard lock(mutex);
            if (!order.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    answered = true;
    runner.loop.wake();
    runner.loop.call([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<std::string>{"device", "modal ended", "request"}));
}

TEST(framework_MessageLoop, QuitEndsModalWaitsAndRunCanStartAgain) {
    Watchdog watchdog;
    MessageLoop loop;
    bool returned = false;
    loop.post([&] {
        loop.quit();
        loop.run_modal_until([] { return false; });
        returned = true;
    });
    loop.run();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(loop.quitting());
    int later = 0;
    loop.post([&] {
        later = 1;
        loop.quit();
    });
    loop.run();
    EXPECT_EQ(later, 1);
}

TEST(framework_MessageLoop, PumpDispatchesQueuedDeviceNotificationsWithinTheTimeout) {
    Watchdog watchdog;
    MessageLoop loop;
    int device = 0, requests = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.pump_device_notifications(20), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));

    loop.post([&] { ++requests; });
    for (int i = 0; i < 3; ++i) {
        loop.post(
            [&] {
                ++device;
                // A notification queued by a notification waits for the next pump.
                loop.post([&] { ++device; }, TaskKind::Device);
            },
            TaskKind::Device);
    }
    EXPECT_EQ(loop.pump_device_notifications(20), 3);
    EXPECT_EQ(device, 3);
    EXPECT_EQ(requests, 0);

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        loop.post([] {}, TaskKind::Device);
    });
    EXPECT_GE(loop.pump_device_notifications(2000), 1);
    poster.join();
}

TEST(framework_MessageLoop, CallFailsInsteadOfHangingWhenTheLoopDropsTheTask) {
    Watchdog watchdog;
    auto loop = std::make_unique<MessageLoop>();
    MessageLoop* raw = loop.get();
    std::atomic<bool> posted{false};
    std::thread destroyer([&] {
        while (!posted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop.reset();
    });
    posted = true;
    EXPECT_THROW(raw->call([] { return 1; }), std::future_error);
    destroyer.join();
}

}  // namespace
}  // namespace framework
