// A user-interface host for tests: records every call and answers dialogs as told.
//
// Install it with framework::set_ui_host(&host) (and set_ui_host(nullptr) before it
// is destroyed). Answers are queued per dialog; a dialog with no queued answer is
// cancelled, like the console fallback. Calls may come from any thread; read the
// records after the work is done, or hold `mutex` while reading.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui_host.h"

namespace framework {

class RecordingUiHost : public UiHost {
public:
    struct FileNeeded {
        std::string message;
        std::string proposed_path;
    };
    struct Navigation {
        std::string path;
        std::string frame;  // empty: the whole view
    };
    struct Progress {
        int stage;
        int index;
        std::string command;
    };

    // Answers, taken from the front: a value means OK with that path or choice,
    // std::nullopt means Cancel.
    std::deque<std::optional<std::string>> file_needed_answers;
    std::deque<std::optional<bool>> configuration_answers;
    std::deque<std::optional<std::string>> file_open_answers;
    std::deque<std::optional<std::string>> file_save_answers;

    // What was shown, in order.
    std::vector<std::string> messages;
    std::vector<FileNeeded> file_needed;
    std::vector<bool> configuration_shown;  // the choice each dialog was opened with
    int about_count = 0;
    int file_open_count = 0;
    int file_save_count = 0;
    std::vector<Navigation> navigations;
    std::vector<bool> busy;
    std::vector<Progress> progress;
    int command_state_changes = 0;
    // Every call as one line ("message_box: text", "navigate: path | frame", ...),
    // for checks of the order between kinds of call.
    std::vector<std::string> log;

    // Optional hook run after a message box was recorded (for instance to stop a loop).
    std::function<void(const std::string&)> on_message_box;

    mutable std::mutex mutex;

    void message_box(const std::string& text) override {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex);
            messages.push_back(text);
            log.push_back("message_box: " + text);
            hook = on_message_box;
        }
        if (hook) hook(text);
    }

    bool file_needed_dialog(const std::string& message, std::string& path) override {
        std::lock_guard lock(mutex);
        file_needed.push_back({message, path});
        log.push_back("file_needed_dialog: " + message + " | " + path);
        auto answer = take(file_needed_answers);
        if (!answer) return false;
        path = *answer;
        return true;
    }

    bool configuration_dialog(bool& old_console) override {
        std::lock_guard lock(mutex);
        configuration_shown.push_back(old_console);
        log.push_back(std::string("configuration_dialog: ") + (old_console ? "1" : "0"));
        auto answer = take(configuration_answers);
        if (!answer) return false;
        old_console = *answer;
        return true;
    }

    void about_dialog() override {
        std::lock_guard lock(mutex);
        ++about_count;
        log.push_back("about_dialog");
    }

    bool file_open_dialog(std::string& path) override {
        std::lock_guard lock(mutex);
        ++file_open_count;
        log.push_back("file_open_dialog");
        auto answer = take(file_open_answers);
        if (!answer) return false;
        path = *answer;
        return true;
    }

    bool file_save_dialog(std::string& path) override {
        std::lock_guard lock(mutex);
        ++file_save_count;
        log.push_back("file_save_dialog: " + path);
        auto answer = take(file_save_answers);
        if (!answer) return false;
        path = *answer;
        return true;
    }

    void navigate(const std::string& path, const std::string& frame) override {
        std::lock_guard lock(mutex);
        navigations.push_back({path, frame});
        log.push_back("navigate: " + path + " | " + frame);
    }

    void set_busy(bool is_busy) override {
        std::lock_guard lock(mutex);
        busy.push_back(is_busy);
        log.push_back(std::string("set_busy: ") + (is_busy ? "1" : "0"));
    }

    void run_progress(int stage, int index, const std::string& command) override {
        std::lock_guard lock(mutex);
        progress.push_back({stage, index, command});
        log.push_back("run_progress: " + std::to_string(stage) + " " + std::to_string(index) + " " +
                      command);
    }

    void command_states_changed() override {
        std::lock_guard lock(mutex);
        ++command_state_changes;
        log.push_back("command_states_changed");
    }

private:
    template <class T>
    static std::optional<T> take(std::deque<std::optional<T>>& answers) {
        if (answers.empty()) return std::nullopt;
        auto answer = std::move(answers.front());
        answers.pop_front();
        return answer;
    }
};

// Installs a host for the lifetime of the object and restores the fallback after.
class ScopedUiHost {
public:
    explicit ScopedUiHost(UiHost& host) { set_ui_host(&host); }
    ~ScopedUiHost() { set_ui_host(nullptr); }
    ScopedUiHost(const ScopedUiHost&) = delete;
    ScopedUiHost& operator=(const ScopedUiHost&) = delete;
};

}  // namespace framework
