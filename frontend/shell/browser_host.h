// The user-interface host of the browser shell: message boxes, dialogs,
// navigation, busy state, run progress and command states become events of
// the bridge; answers come back from the shell while the UI loop waits modally.
#pragma once

#include "bridge.h"
#include "ui_host.h"

#include <functional>
#include <string>

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
    bool file_needed_dialog(const std::string& message, std::string& path) override;
    bool configuration_dialog(bool& old_console) override;
    void about_dialog() override;
    bool file_open_dialog(std::string& path) override;
    bool file_save_dialog(std::string& path) override;
    void navigate(const std::string& path, const std::string& frame) override;
    void set_busy(bool busy) override;
    void run_progress(int stage, int index, const std::string& command) override;
    void command_states_changed() override;

private:
    // Shows a modal in the shell and waits for its answer on the UI loop,
    // which meanwhile dispatches device notifications only. With no shell
    // connected the answer is {"ok": false} at once.
    nlohmann::json run_modal(const std::string& kind, nlohmann::json data);

    Bridge& m_bridge;
    std::function<CommandStates()> m_states;
    // The stage command that runs now (index -1 between runs), and the text
    // output to show in the frame RIGHT once the run has ended.
    int m_runStage = -1;
    int m_runIndex = -1;
    std::string m_runCommand;
    std::string m_outputToShow;
};

}  // namespace shell
