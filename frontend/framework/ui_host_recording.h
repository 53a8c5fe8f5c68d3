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
    struct Navigation {
        std::string path;
        std::string frame;  // empty: the whole view
    };
    // The answer to one form: per field in order, the text (text and file
    // fields) or "1" / "0" (check boxes).
    using FormAnswer = std::vector<std::string>;

    // Answers, taken from the front: a value means OK with that path or those
    // field values, std::nullopt means Cancel. A form that cannot be cancelled
    // takes no answer.
    std::deque<std::optional<FormAnswer>> form_answers;
    std::deque<bool> show_file_answers;  // message boxes offering a file: asked to show it?
    std::deque<std::optional<std::string>> file_open_answers;
    std::deque<std::optional<std::string>> file_save_answers;

    // What was shown, in order.
    std::vector<std::string> messages;
    std::vector<std::string> offered_files;  // the file of each message box that offered one
    std::vector<DialogForm> forms;           // as they were shown, with the proposed values
    int file_open_count = 0;
    int file_save_count = 0;
    std::vector<Navigation> navigations;
    std::vector<bool> busy;
    std::vector<std::string> progress;
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

    bool message_box_offering_file(const std::string& text, const std::string& file) override {
        bool show = false;
        {
            std::lock_guard lock(mutex);
            offered_files.push_back(file);
            if (!show_file_answers.empty()) {
                show = show_file_answers.front();
                show_file_answers.pop_front();
            }
        }
        message_box(text);
        return show;
    }

    bool form_dialog(DialogForm& form) override {
        std::lock_guard lock(mutex);
        forms.push_back(form);
        log.push_back("form_dialog: " + form.kind + " | " + form.message);
        if (!form.can_cancel) return true;
        auto answer = take(form_answers);
        if (!answer) return false;
        for (std::size_t i = 0; i < form.fields.size() && i < answer->size(); ++i) {
            DialogField& field = form.fields[i];
            if (field.type == DialogField::Type::check)
                field.checked = (*answer)[i] == "1";
            else
                field.text = (*answer)[i];
        }
        return true;
    }

    bool file_dialog(FileChooser chooser, std::string& path) override {
        std::lock_guard lock(mutex);
        if (chooser == FileChooser::open) {
            ++file_open_count;
            log.push_back("file_open_dialog");
            return answer_path(file_open_answers, path);
        }
        ++file_save_count;
        log.push_back("file_save_dialog: " + path);
        return answer_path(file_save_answers, path);
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

    void progress_notice(const std::string& text) override {
        std::lock_guard lock(mutex);
        progress.push_back(text);
        log.push_back("progress_notice: " + text);
    }

    void command_states_changed() override {
        std::lock_guard lock(mutex);
        ++command_state_changes;
        log.push_back("command_states_changed");
    }

private:
    static bool answer_path(std::deque<std::optional<std::string>>& answers, std::string& path) {
        auto answer = take(answers);
        if (!answer) return false;
        path = *answer;
        return true;
    }

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
