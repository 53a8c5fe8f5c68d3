// The bridge's worker threads. Every connection holds a worker from its first
// byte until it is closed or the server's timeouts drop it, so a fixed number
// of workers lets a few hundred idle or slow clients delay everyone else. This
// pool keeps a few threads, starts another whenever all are busy (up to a
// limit) and lets the extra ones end once they have been idle for a while.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace shell {

class WorkerPool : public httplib::TaskQueue {
public:
    WorkerPool(std::size_t kept_threads, std::size_t max_threads, std::chrono::milliseconds linger);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `job` on an idle thread, on a new one when none is idle, or queues
    // it when the limit is reached.
    void enqueue(std::function<void()> job) override;
    // Runs every queued job, then ends and joins all threads. No job may be
    // enqueued afterwards.
    void shutdown() override;

    // Threads that exist now (busy or idle).
    std::size_t thread_count() const;

private:
    using Threads = std::list<std::thread>;

    void work(Threads::iterator self);
    void start_thread();        // mutex held
    void join_ended_threads();  // mutex held

    const std::size_t kept_threads_;
    const std::size_t max_threads_;
    const std::chrono::milliseconds linger_;

    mutable std::mutex mutex_;
    std::condition_variable job_ready_;
    std::deque<std::function<void()>> jobs_;
    Threads threads_;
    std::vector<Threads::iterator> ended_;  // threads that returned, to be joined
    std::size_t idle_ = 0;
    bool shutting_down_ = false;
};

}  // namespace shell
