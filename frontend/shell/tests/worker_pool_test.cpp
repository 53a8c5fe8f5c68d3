// The bridge's worker pool: grows while every thread is busy, never beyond its
// limit, shrinks back after the linger time and finishes queued work on shutdown.
#include "worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

using namespace std::chrono_literals;

// Jobs that stay busy until released, counting how many have started.
class Gate {
public:
    std::function<void()> Job() {
        return [this] {
            std::unique_lock lock(mutex_);
            ++started_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
            ++finished_;
        };
    }
    bool WaitStarted(int count, std::chrono::milliseconds within = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, within, [&] { return started_ >= count; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    int finished() {
        std::lock_guard lock(mutex_);
        return finished_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int started_ = 0;
    int finished_ = 0;
    bool open_ = false;
};

bool WaitForThreads(const shell::WorkerPool& pool, std::size_t count,
                    std::chrono::milliseconds within) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (pool.thread_count() != count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(shell_worker_pool, GrowsForBusyJobsUpToItsLimitThenQueues) {
    Gate gate;
    shell::WorkerPool pool(2, 50, 30s);
    for (int i = 0; i < 60; ++i) pool.enqueue(gate.Job());
    ASSERT_TRUE(gate.WaitStarted(50));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(gate.started(), 50);  // ten wait for a thread
    EXPECT_EQ(pool.thread_count(), 50u);
    gate.Open();
    ASSERT_TRUE(gate.WaitStarted(60));
    pool.shutdown();
    EXPECT_EQ(gate.finished(), 60);
}

TEST(shell_worker_pool, IdleThreadsAreReusedAndExtraOnesEndAfterTheLinger) {
    shell::WorkerPool pool(3, 100, 200ms);
    std::atomic<int> done{0};
    // One job at a time needs one thread, however many jobs come (a second one
    // may start when a job is queued just before its thread is idle again).
    for (int i = 0; i < 20; ++i) {
        pool.enqueue([&] { ++done; });
        while (done.load() <= i) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_LE(pool.thread_count(), 2u);

    Gate gate;
    for (int i = 0; i < 10; ++i) pool.enqueue(gate.Job());
    ASSERT_TRUE(gate.WaitStarted(10));
    EXPECT_EQ(pool.thread_count(), 10u);
    gate.Open();
    EXPECT_TRUE(WaitForThreads(pool, 3, 5s)) << pool.thread_count() << " threads left";
    // The kept threads still take work.
    pool.enqueue([&] { ++done; });
    while (done.load() < 21) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(pool.thread_count(), 3u);
}

TEST(shell_worker_pool, ShutdownRunsQueuedJobsAndEndsEveryThread) {
    std::atomic<int> done{0};
    {
        shell::WorkerPool pool(1, 2, 30s);
        Gate gate;
        pool.enqueue(gate.Job());
        pool.enqueue(gate.Job());
        ASSERT_TRUE(gate.WaitStarted(2));
        for (int i = 0; i < 5; ++i) pool.enqueue([&] { ++done; });
        EXPECT_EQ(done.load(), 0);
        gate.Open();
        pool.shutdown();
        EXPECT_EQ(done.load(), 5);
        EXPECT_EQ(pool.thread_count(), 0u);
    }  // the destructor after an explicit shutdown does nothing more
    EXPECT_EQ(done.load(), 5);
}

}  // namespace
