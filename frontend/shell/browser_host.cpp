// Message boxes and dialogs as modal events of the shell.
#include "browser_host.h"

#include <cstdio>

#include "message_loop.h"

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
    run_modal("messageBox", {{"text", text}});
}

bool BrowserUiHost::message_box_offering_file(const std::string& text, const std::string& file) {
    if (!m_bridge.shell_connected()) {
        message_box(text);
        return false;
    }
    // The box gets a "Show output" button for the file.
    const json answer = run_modal("messageBox", {{"text", text}, {"output", file}});
    return answer.value("showOutput", false);
}

namespace {

const char* FieldType(framework::DialogField::Type type) {
    switch (type) {
        case framework::DialogField::Type::file:
            return "file";
        case framework::DialogField::Type::check:
            return "check";
        default:
            return "text";
    }
}

// The modal's data: the form, and each field's proposed value under its name.
json FormData(const framework::DialogForm& form) {
    json data = {{"caption", form.caption},
                 {"message", form.message},
                 {"group", form.group},
                 {"cancel", form.can_cancel},
                 {"fields", json::array()}};
    for (const framework::DialogField& field : form.fields) {
        data["fields"].push_back(
            {{"name", field.name}, {"type", FieldType(field.type)}, {"label", field.label}});
        if (field.type == framework::DialogField::Type::check)
            data[field.name] = field.checked;
        else
            data[field.name] = field.text;
    }
    return data;
}

}  // namespace

bool BrowserUiHost::form_dialog(framework::DialogForm& form) {
    const json answer = run_modal(form.kind, FormData(form));
    if (!answer.value("ok", false)) return false;
    for (framework::DialogField& field : form.fields) {
        if (field.type == framework::DialogField::Type::check)
            field.checked = answer.value(field.name, false);
        else
            field.text = answer.value(field.name, std::string());
    }
    return true;
}

bool BrowserUiHost::file_dialog(framework::FileChooser chooser, std::string& path) {
    const char* kind = chooser == framework::FileChooser::open ? "fileOpen" : "fileSave";
    const json answer = run_modal(kind, {{"path", path}});
    if (!answer.value("ok", false)) return false;
    path = answer.value("path", std::string());
    return true;
}

void BrowserUiHost::navigate(const std::string& path, const std::string& frame) {
    m_bridge.navigate(path, frame);
}

void BrowserUiHost::set_busy(bool busy) { m_bridge.set_busy(busy); }

void BrowserUiHost::progress_notice(const std::string& text) { m_bridge.set_progress(text); }

void BrowserUiHost::command_states_changed() {
    const CommandStates states = m_states ? m_states() : CommandStates{};
    m_bridge.set_command_states(states.play, states.pause, states.stop, states.paused);
    m_bridge.set_replay(states.file, states.playing, states.paused);
}

}  // namespace shell
