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
    bool file_needed_dialog(const std::string&, std::string& path) override {
        path = answered_file_;
        return true;
    }
    bool configuration_dialog(bool&) override { return false; }
    void about_dialog() override {}
    bool file_open_dialog(std::string&) override { return false; }
    bool file_save_dialog(std::string&) override { return false; }
    void navigate(const std::string&, const std::string&) override {}
    void set_busy(bool) override {}
    void run_progress(int, int, const std::string&) override {}
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
