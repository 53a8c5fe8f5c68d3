// A user-interface host for the fuzz targets: shows nothing, waits for nobody.
#include <string>

#include "fuzz_support.h"
#include "ui_host.h"

namespace fuzz {

namespace {

class QuietUiHost : public framework::UiHost {
public:
    explicit QuietUiHost(std::string answered_file) : answered_file_(std::move(answered_file)) {}

    void message_box(const std::string&) override {}
    // Every dialog is answered OK with the file in its text fields (an "$ASK(" word's
    // File Needed dialog has one).
    bool form_dialog(framework::DialogForm& form) override {
        for (framework::DialogField& field : form.fields)
            if (field.type != framework::DialogField::Type::check) field.text = answered_file_;
        return true;
    }
    bool file_dialog(framework::FileChooser, std::string&) override { return false; }
    void navigate(const std::string&, const std::string&) override {}
    void set_busy(bool) override {}
    void progress_notice(const std::string&) override {}
    void command_states_changed() override {}

private:
    std::string answered_file_;
};

}  // namespace

void install_quiet_ui_host(const std::string& answered_file) {
    // Lives to the end of the process, like the host of the real program.
    static QuietUiHost host(answered_file);
    framework::set_ui_host(&host);
}

}  // namespace fuzz
