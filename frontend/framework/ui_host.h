// What the application core asks of its user interface: message boxes, modal
// dialogs, page navigation, command states and run progress. The browser shell
// implements it; tests use RecordingUiHost (ui_host_recording.h). With no host
// installed, message boxes go to standard error and answer OK, and dialogs that
// ask for input answer Cancel.
//
// Every call is made on the loop thread. Calls that wait for the user (message
// boxes and dialogs) run a modal wait on the loop (device notifications only).
#pragma once

#include <string>

namespace framework {

class UiHost {
public:
    virtual ~UiHost() = default;

    // Modal message box with the exclamation icon and one OK button.
    virtual void message_box(const std::string& text) = 0;

    // File Needed dialog: shows `message`, proposes `path`; on OK stores the
    // edit box's text in `path` and returns true; on Cancel returns false.
    virtual bool file_needed_dialog(const std::string& message, std::string& path) = 0;

    // Configuration dialog with the "Support older Windows versions" box.
    // On OK stores the choice in `old_console` and returns true.
    virtual bool configuration_dialog(bool& old_console) = 0;

    // About box.
    virtual void about_dialog() = 0;

    // File choosers for documents. On OK stores the chosen path, returns true.
    virtual bool file_open_dialog(std::string& path) = 0;
    virtual bool file_save_dialog(std::string& path) = 0;

    // Navigates the whole view (frame empty) or one named frame of it.
    virtual void navigate(const std::string& path, const std::string& frame) = 0;

    // The busy notion (wait cursor) around long work.
    virtual void set_busy(bool busy) = 0;

    // Which command of which stage (0..2) is running; index -1 when the run ended.
    virtual void run_progress(int stage, int index, const std::string& command) = 0;

    // Play, Pause and Stop may have changed their enabled state.
    virtual void command_states_changed() = 0;
};

// The installed host, or a console fallback when none is installed.
UiHost& ui_host();
// Installs a host (not owned); null restores the console fallback.
void set_ui_host(UiHost* host);

// The framework's message box: the formatted text alone, exclamation icon, OK.
void AfxMessageBox(const std::string& text);

// The busy notion (wait cursor). Nested uses count: the host hears set_busy(true)
// when the first begins and set_busy(false) when the last ends.
void BeginWaitCursor();
void EndWaitCursor();

// Shows the wait cursor for the lifetime of the object.
class CWaitCursor {
public:
    CWaitCursor() { BeginWaitCursor(); }
    ~CWaitCursor() { EndWaitCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

}  // namespace framework
