// What the application asks of its user interface, in general terms: message
// boxes, modal dialogs with fields, file choosers, page navigation, the busy
// state, a progress notice and command states. The application builds its own
// dialogs from these; a shell implements them; tests use RecordingUiHost
// (ui_host_recording.h). With no host installed, message boxes go to standard
// error and answer OK, and dialogs answer Cancel.
//
// Every call is made on the loop thread. Calls that wait for the user (message
// boxes and dialogs) run a modal wait on the loop (device notifications only).
#pragma once

#include <string>
#include <vector>

namespace framework {

// Results of a dialog's DoModal.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// One field of a modal dialog.
struct DialogField {
    enum class Type {
        text,   // a line of text
        file,   // a file path, with a way to browse for it
        check,  // a check box
    };
    Type type = Type::text;
    std::string name;      // names the field to the host
    std::string label;     // shown with the field (a check box's text)
    std::string text;      // text and file: proposed before, the answer after OK
    bool checked = false;  // check: proposed before, the answer after OK
};

// A modal dialog: a caption, a message, fields and OK (and Cancel).
struct DialogForm {
    std::string kind;     // names the dialog to the host, which may draw it its own way
    std::string caption;  // the title line
    std::string message;  // shown above the fields; may be empty
    std::string group;    // the title of a frame around the fields; empty for none
    std::vector<DialogField> fields;
    bool can_cancel = true;  // false: OK is the only answer (an information box)
};

// A file chooser: for a file to open (it must exist) or a file to save.
enum class FileChooser { open, save };

class UiHost {
public:
    virtual ~UiHost() = default;

    // Modal message box with the exclamation icon and one OK button.
    virtual void message_box(const std::string& text) = 0;

    // The same message box offering to show `file` (one the application is about
    // to store); true when the user asked for it. By default a plain message box.
    virtual bool message_box_offering_file(const std::string& text, const std::string& file) {
        (void)file;
        message_box(text);
        return false;
    }

    // Shows `form` modally. On OK stores the answers in its fields and returns
    // true; on Cancel returns false and leaves the fields as they were.
    virtual bool form_dialog(DialogForm& form) = 0;

    // A file chooser proposing `path`. On OK stores the chosen path, returns true.
    virtual bool file_dialog(FileChooser chooser, std::string& path) = 0;

    // Navigates the whole view (frame empty) or one named frame of it.
    virtual void navigate(const std::string& path, const std::string& frame) = 0;

    // The busy notion (wait cursor) around long work.
    virtual void set_busy(bool busy) = 0;

    // A line telling what long work is doing now; "" when it has ended.
    virtual void progress_notice(const std::string& text) = 0;

    // Commands may have changed their enabled state.
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
