// For tests: ends the test program when a test has not finished in time, so
// that a loop that never wakes, or a hung child process or pipe, fails the run
// instead of holding it forever.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace framework {

class TestWatchdog {
public:
    explicit TestWatchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!changed_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fprintf(stderr, "test did not finish within %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(2);
              }
          }) {}
    ~TestWatchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    TestWatchdog(const TestWatchdog&) = delete;
    TestWatchdog& operator=(const TestWatchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace framework
