// Fuzz target: the settings file of the front end ("Taloria 2.ini") as the
// application loads it, and the round trip of what was read through a save.
//
// Input: the whole settings file.
#include <cstdint>
#include <string>

#include "app.h"
#include "fuzz_support.h"
#include "ini_file.h"

namespace {

const char* const kSections[] = {"Config", "Recent File List"};
const char* const kKeys[] = {"OldConsole", "Stage1", "Stage2", "Stage3",
                             "File1",      "File2",  "File3",  "File4"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".ini");
    static framework::CWinApp* app = [] {
        fuzz::install_quiet_ui_host();
        return new framework::CWinApp("Taloria 2");
    }();
    file.write(data, size);

    // What the program does at start-up.
    app->SetProfilePath(file.path());
    app->LoadStdProfileSettings(4);
    for (const char* section : kSections) {
        for (const char* key : kKeys) {
            (void)app->GetProfileInt(section, key, 0);
            (void)app->GetProfileString(section, key, "");
        }
    }
    fuzz::check(app->GetRecentFiles().size() <= 4, "more recent files than asked for");

    // Whatever was read must come back unchanged from the file written at exit,
    // or a setting would be lost or the next start would find a corrupt file.
    const std::string text(reinterpret_cast<const char*>(data), size);
    framework::IniFile read;
    if (!read.Parse(text)) return 0;
    framework::IniFile again;
    fuzz::check(again.Parse(read.Format()), "a saved settings file does not read back");
    fuzz::check(again.Format() == read.Format(), "settings change through a save");
    return 0;
}
