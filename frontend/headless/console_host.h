// The user interface of a headless run: messages go to standard error (or
// are kept for the caller), $ASK( words take the --ask answers in order, and
// every other dialog answers Cancel.
#pragma once

#include <string>
#include <vector>

#include "ui_host.h"

namespace headless {

class ConsoleUiHost : public framework::UiHost {
public:
    // `print`: messages are printed as "taloria2: TEXT" when they come; else
    // they are only kept.
    ConsoleUiHost(std::vector<std::string> answers, bool print);

    // Starts again with the first answer and no kept messages.
    void Restart();
    const std::vector<std::string>& messages() const { return m_messages; }
    // The texts of the $ASK( words that found no answer since Restart.
    const std::vector<std::string>& unanswered() const { return m_unanswered; }

    void message_box(const std::string& text) override;
    // A dialog that asks for a file (the File Needed dialog of an "$ASK(" word) takes
    // the next answer; every other dialog is cancelled.
    bool form_dialog(framework::DialogForm& form) override;
    bool file_dialog(framework::FileChooser, std::string&) override { return false; }
    void navigate(const std::string&, const std::string&) override {}
    void set_busy(bool) override {}
    void progress_notice(const std::string&) override {}
    void command_states_changed() override {}

private:
    std::vector<std::string> m_answers;
    std::size_t m_nextAnswer = 0;
    bool m_print;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_unanswered;
};

}  // namespace headless
