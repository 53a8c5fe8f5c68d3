// The installed user-interface host, its console fallback and the wait cursor.
#include "ui_host.h"

#include <atomic>
#include <cstdio>

namespace framework {

namespace {

// Used while no shell is connected: message boxes go to standard error and
// answer OK; dialogs that ask for input answer Cancel; the rest is silent.
class ConsoleUiHost : public UiHost {
public:
    void message_box(const std::string& text) override {
        std::fprintf(stderr, "taloria2: %s\n", text.c_str());
    }
    bool form_dialog(DialogForm&) override { return false; }
    bool file_dialog(FileChooser, std::string&) override { return false; }
    void navigate(const std::string&, const std::string&) override {}
    void set_busy(bool) override {}
    void progress_notice(const std::string&) override {}
    void command_states_changed() override {}
};

ConsoleUiHost console_host;
std::atomic<UiHost*> installed_host{nullptr};
// Touched on the loop thread only, like every host call.
int wait_cursor_depth = 0;

}  // namespace

UiHost& ui_host() {
    UiHost* host = installed_host.load();
    return host ? *host : console_host;
}

void set_ui_host(UiHost* host) { installed_host.store(host); }

void AfxMessageBox(const std::string& text) { ui_host().message_box(text); }

void BeginWaitCursor() {
    if (wait_cursor_depth++ == 0) ui_host().set_busy(true);
}

void EndWaitCursor() {
    if (wait_cursor_depth > 0 && --wait_cursor_depth == 0) ui_host().set_busy(false);
}

}  // namespace framework
