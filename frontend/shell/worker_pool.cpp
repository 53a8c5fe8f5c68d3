#include "worker_pool.h"

#include <utility>

namespace shell {

WorkerPool::WorkerPool(std::size_t kept_threads, std::size_t max_threads,
                       std::chrono::milliseconds linger)
    : kept_threads_(kept_threads),
      max_threads_(max_threads < 1 ? 1 : max_threads),
      linger_(linger) {}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::enqueue(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    join_ended_threads();
    jobs_.push_back(std::move(job));
    // Each idle thread takes one queued job; start a thread for the rest.
    if (idle_ < jobs_.size() && threads_.size() - ended_.size() < max_threads_) start_thread();
    job_ready_.notify_one();
}

void WorkerPool::shutdown() {
    Threads threads;
    {
        std::lock_guard lock(mutex_);
        shutting_down_ = true;
        ended_.clear();
        threads.swap(threads_);
    }
    job_ready_.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

std::size_t WorkerPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_.size() - ended_.size();
}

void WorkerPool::start_thread() {
    threads_.emplace_back();
    const Threads::iterator self = std::prev(threads_.end());
    *self = std::thread([this, self] { work(self); });
}

void WorkerPool::join_ended_threads() {
    for (Threads::iterator thread : ended_) {
        thread->join();  // it has returned from work(), so this does not wait
        threads_.erase(thread);
    }
    ended_.clear();
}

void WorkerPool::work(Threads::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (jobs_.empty()) {
            if (shutting_down_) return;
            ++idle_;
            const bool woken = job_ready_.wait_for(
                lock, linger_, [this] { return shutting_down_ || !jobs_.empty(); });
            --idle_;
            // An extra thread that found no work for the whole linger ends.
            if (!woken && threads_.size() - ended_.size() > kept_threads_) {
                ended_.push_back(self);
                return;
            }
            continue;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // a job's captures (its socket) go before the thread waits again
        lock.lock();
    }
}

}  // namespace shell
