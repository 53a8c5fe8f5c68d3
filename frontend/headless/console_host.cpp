// Messages and answers of a headless run.
#include "console_host.h"

#include <algorithm>
#include <cstdio>

namespace headless {

ConsoleUiHost::ConsoleUiHost(std::vector<std::string> answers, bool print)
    : m_answers(std::move(answers)), m_print(print) {}

void ConsoleUiHost::Restart() {
    m_nextAnswer = 0;
    m_messages.clear();
    m_unanswered.clear();
}

void ConsoleUiHost::message_box(const std::string& text) {
    m_messages.push_back(text);
    if (m_print) std::fprintf(stderr, "taloria2: %s\n", text.c_str());
}

bool ConsoleUiHost::form_dialog(framework::DialogForm& form) {
    const auto file = std::find_if(form.fields.begin(), form.fields.end(), [](const auto& field) {
        return field.type == framework::DialogField::Type::file;
    });
    if (file == form.fields.end()) return false;
    if (m_nextAnswer < m_answers.size()) {
        file->text = m_answers[m_nextAnswer++];
        return true;
    }
    m_unanswered.push_back(form.message);
    return false;
}

}  // namespace headless
