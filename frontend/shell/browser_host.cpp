// Message boxes and dialogs as modal events of the shell.
#include "browser_host.h"

#include "message_loop.h"

#include <cstdio>

namespace shell {

using nlohmann::json;

BrowserUiHost::BrowserUiHost(Bridge& bridge, std::function<CommandStates()> states)
    : m_bridge(bridge), m_states(std::move(states)) {
    m_bridge.on_modal_answer([] { framework::ui_loop().wake(); });
}

json BrowserUiHost::run_modal(const std::string& kind, json data) {
    if (!m_bridge.shell_connected()) return json{{"ok", false}};
    const int id = m_bridge.open_modal(kind, std::move(data));
    framework::ui_loop().run_modal_until([&] { return m_bridge.modal_answer(id).has_value(); });
    // The wait also ends when the program is told to quit; that counts as Cancel.
    json answer = m_bridge.modal_answer(id).value_or(json{{"ok", false}});
    m_bridge.close_modal(id);
    return answer;
}

void BrowserUiHost::message_box(const std::string& text) {
    if (!m_bridge.shell_connected()) {
        // Nobody to ask: the message goes to standard error now and is shown
        // to the next shell that connects, without waiting for it.
        std::fprintf(stderr, "taloria2: %s\n", text.c_str());
        m_bridge.add_notice(text);
        return;
    }
    json data = {{"text", text}};
    // The failure of the running command: the box offers to show what it
    // printed, which the runner stores in its text output after the box.
    const bool command_failed = m_runIndex >= 0 && text == "Command '" + m_runCommand + "' fails";
    const std::string output = m_bridge.app_dir() + "/html/output" + std::to_string(m_runStage) +
                               "-" + std::to_string(m_runIndex) + ".txt";
    if (command_failed) data["output"] = output;
    const json answer = run_modal("messageBox", data);
    if (command_failed && answer.value("showOutput", false)) m_outputToShow = output;
}

bool BrowserUiHost::file_needed_dialog(const std::string& message, std::string& path) {
    const json answer = run_modal("fileNeeded", {{"message", message}, {"path", path}});
    if (!answer.value("ok", false)) return false;
    path = answer.value("path", std::string());
    return true;
}

bool BrowserUiHost::configuration_dialog(bool& old_console) {
    const json answer = run_modal("configuration", {{"oldConsole", old_console}});
    if (!answer.value("ok", false)) return false;
    old_console = answer.value("oldConsole", false);
    return true;
}

void BrowserUiHost::about_dialog() { run_modal("about", {{"version", TALORIA_VERSION}}); }

bool BrowserUiHost::file_open_dialog(std::string& path) {
    const json answer = run_modal("fileOpen", {{"path", path}});
    if (!answer.value("ok", false)) return false;
    path = answer.value("path", std::string());
    return true;
}

bool BrowserUiHost::file_save_dialog(std::string& path) {
    const json answer = run_modal("fileSave", {{"path", path}});
    if (!answer.value("ok", false)) return false;
    path = answer.value("path", std::string());
    return true;
}

void BrowserUiHost::navigate(const std::string& path, const std::string& frame) { m_bridge.navigate(path, frame); }

void BrowserUiHost::set_busy(bool busy) { m_bridge.set_busy(busy); }

void BrowserUiHost::run_progress(int stage, int index, const std::string& command) {
    m_runStage = stage;
    m_runIndex = index;
    m_runCommand = command;
    m_bridge.set_progress(stage, index, command);
    if (index < 0 && !m_outputToShow.empty()) {
        m_bridge.navigate(m_outputToShow, "RIGHT");
        m_outputToShow.clear();
    }
}

void BrowserUiHost::command_states_changed() {
    const CommandStates states = m_states ? m_states() : CommandStates{};
    m_bridge.set_command_states(states.play, states.pause, states.stop, states.paused);
    m_bridge.set_replay(states.file, states.playing, states.paused);
}

}  // namespace shell
