// For the wave-output tests: records every buffer notice with the thread it
// came on, and waits for them with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "waveout.h"

struct Notices {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<waveout::Buffer*> buffers;
    std::vector<std::thread::id> threads;

    waveout::DoneCallback callback() {
        return [this](waveout::Buffer* buffer) {
            std::lock_guard lock(mutex);
            buffers.push_back(buffer);
            threads.push_back(std::this_thread::get_id());
            changed.notify_all();
        };
    }
    bool wait_for_count(std::size_t count,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return buffers.size() >= count; });
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return buffers.size();
    }
};
