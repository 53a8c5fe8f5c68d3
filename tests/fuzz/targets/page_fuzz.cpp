// Fuzz target: the page writer of the front end, WritePage, over any template
// and any replacement texts (the input text and the option lists come from the
// user and the configuration file names).
//
// Input: the template, then the four replacements, separated by 0xFF bytes.
#include <cstdint>
#include <string>

#include "file_io.h"
#include "fuzz_support.h"
#include "taloria_app.h"
#include "taloria_doc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile template_file(".htt");
    static CTaloriaDoc* doc = [] {
        fuzz::install_quiet_ui_host();
        auto* app = new CTaloriaApp;
        app->m_strAppDir = fuzz::scratch_folder();
        return new CTaloriaDoc;
    }();
    static const std::string page_path = fuzz::scratch_folder() + "/page.htm";

    std::string parts[5];
    fuzz::split_parts(data, size, '\xff', parts, 5);
    template_file.write(parts[0]);

    fuzz::check(doc->WritePage(template_file.path(), page_path, parts[1], parts[2], parts[3],
                               parts[4]) == 1,
                "writing a page from a readable template fails");
    std::string page;
    fuzz::check(framework::ReadBinaryFile(page_path, page), "the page cannot be read back");

    // Without a marker line the page is the template as text.
    if (parts[0].find('%') == std::string::npos) {
        std::string text;
        fuzz::check(framework::ReadTextFile(template_file.path(), text), "template unreadable");
        fuzz::check(page == text, "a template without markers is changed");
    }
    return 0;
}
