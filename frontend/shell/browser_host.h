// The user-interface host of the browser shell: message boxes, dialogs,
// navigation, busy state, progress and command states become events of
// the bridge; answers come back from the shell while the UI loop waits modally.
#pragma once

#include <functional>
#include <string>

#include "bridge.h"
#include "ui_host.h"

namespace shell {

// Enabled state of Play, Pause and Stop.
struct CommandStates {
    bool play = false;
    bool pause = false;
    bool stop = false;
    bool paused = false;  // a replay is paused
    // The player's file and whether it plays, for the signal panel.
    std::string file;
    bool playing = false;
};

class BrowserUiHost : public framework::UiHost {
public:
    // `states` is read on the loop thread whenever the command states may have changed.
    BrowserUiHost(Bridge& bridge, std::function<CommandStates()> states);

    void message_box(const std::string& text) override;
    // A messageBox modal with the file as its `output`, answered `showOutput`.
    bool message_box_offering_file(const std::string& text, const std::string& file) override;
    // A modal of the form's kind carrying its caption, message, group, whether it can be
    // cancelled, its fields' descriptions and each field's value under the field's name.
    bool form_dialog(framework::DialogForm& form) override;
    // A fileOpen or fileSave modal.
    bool file_dialog(framework::FileChooser chooser, std::string& path) override;
    void navigate(const std::string& path, const std::string& frame) override;
    void set_busy(bool busy) override;
    void progress_notice(const std::string& text) override;
    void command_states_changed() override;

private:
    // Shows a modal in the shell and waits for its answer on the UI loop,
    // which meanwhile dispatches device notifications only. With no shell
    // connected the answer is {"ok": false} at once.
    nlohmann::json run_modal(const std::string& kind, nlohmann::json data);

    Bridge& m_bridge;
    std::function<CommandStates()> m_states;
};

}  // namespace shell
