// Fuzz target: a form body posted by the browser, through the view's
// before-navigation handling (field splitting, DecodeFormField and the keys
// input=, config1..3= and help1..3=) up to the pages it writes; the same bytes
// also go through the audio-link rules as a URL.
//
// Input: the raw form body. The application directory is a scratch copy of
// the shipped templates with harmless configurations (no stage command starts
// a program), so a run request only stores the typed text.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>

#include "file_io.h"
#include "fuzz_support.h"
#include "navigation.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "view.h"

namespace {

struct Program {
    CTaloriaApp app;
    CTaloriaDoc* doc = nullptr;
    CTaloriaView* view = nullptr;
};

void write_file(const std::string& path, const std::string& text) {
    fuzz::check(framework::WriteFileInPlace(path, text), "cannot prepare the application folder");
}

Program* make_program() {
    fuzz::install_quiet_ui_host();
    const std::string dir = fuzz::scratch_folder() + "/app";
    namespace fs = std::filesystem;
    fs::create_directories(dir + "/config");
    fs::create_directories(dir + "/help");
    fs::copy(TALORIA_SOURCE_DIR "/frontend/appdata/html", dir + "/html",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    write_file(dir + "/config/1Typed_text.txt", "?Passes the text on.\n$INPUT $TEXT\n");
    write_file(dir + "/config/2No_processing.txt", "?Does nothing.\n");
    write_file(dir + "/config/3Keep_it.txt", "?Keeps the text.\n$XML $TEE(html/kept.txt)\n");

    auto* program = new Program;
    program->app.m_strStartDir = dir;
    program->app.SetProfilePath(dir + "/settings.ini");
    program->app.m_strAppDir = dir;
    for (int stage = 0; stage < NUM_STAGES; ++stage) program->app.ScanConfigurations(stage);
    program->doc = new CTaloriaDoc;
    program->view = new CTaloriaView(nullptr);
    program->doc->AddView(program->view);
    return program;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Program* program = make_program();
    const std::string body(reinterpret_cast<const char*>(data), size);

    // Decoding never grows a field, and leaves a field without escapes alone.
    const std::string decoded = shell::decode_form_field(body);
    fuzz::check(decoded.size() <= body.size(), "a decoded field is longer");
    if (body.find_first_of("%+\r") == std::string::npos) {
        fuzz::check(decoded == body, "a field without escapes changed");
    }

    // The same bytes as a link.
    const double start_s = shell::audio_link_start_seconds(body);
    (void)start_s;
    const std::string file = shell::audio_link_file(body);
    fuzz::check(file.size() <= body.size() && body.compare(0, file.size(), file) == 0,
                "the file of a link is not its start");
    const bool audio = shell::is_audio_link(body);
    fuzz::check(!audio || file.size() >= 4, "an audio link without an extension");

    // An empty body is no post (the handler then lets the browser go on).
    bool cancel = false;
    program->view->OnBeforeNavigate2(program->app.m_strAppDir + "/html/input.htm", 0, "", body, "",
                                     &cancel);
    fuzz::check(cancel == !body.empty(), "a post is not cancelled");
    return 0;
}
