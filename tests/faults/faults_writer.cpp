// faults_writer: saves the settings file or a document through the front end's
// own code, once or in an endless loop, so a test can kill it mid-write.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "taloria_app.h"
#include "taloria_doc.h"

namespace {

const char kUsage[] =
    "Usage: faults_writer settings|document PATH once VERSION\n"
    "       faults_writer settings|document PATH loop\n"
    "Saves version 0 or 1 of a settings file or a document at PATH, once or\n"
    "alternately without end (until killed). The versions differ in size and\n"
    "content, so a partly written file never equals either.\n";

// Large enough that a write takes a while, different in length per version.
std::string VersionText(int version, char letter_base) {
    const std::size_t lines = version == 0 ? 4000 : 7000;
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) {
        text += static_cast<char>(letter_base + version);
        text += " version " + std::to_string(version) + " line " + std::to_string(i);
        text += i + 1 < lines ? "\n" : "";
    }
    return text;
}

bool SaveSettings(CTaloriaApp& app, const std::string& path, int version) {
    app.SetProfilePath(path);
    app.m_bOldConsole = version;
    // A long value with characters that the file must encode (line-feeds,
    // backslashes, quotes at the ends).
    app.m_strStageConfig[0] = "\"" + VersionText(version, 'a') + "\\\"";
    app.m_strStageConfig[1] = version == 0 ? "No processing" : "English to MBROLA phonemes";
    app.m_strStageConfig[2] = version == 0 ? " MBROLA en1 voice " : "parvox formant demo";
    app.SaveSettings();
    return app.SaveProfile();
}

bool SaveDocument(const std::string& path, int version) {
    CTaloriaDoc doc;
    doc.m_strInputText = VersionText(version, 'p');
    return doc.OnSaveDocument(path) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::puts("faults_writer 1.0");
        return 0;
    }
    const std::string kind = argc > 1 ? argv[1] : "";
    const std::string mode = argc > 3 ? argv[3] : "";
    if ((kind != "settings" && kind != "document") || (mode != "once" && mode != "loop") ||
        (mode == "once" && argc != 5) || (mode == "loop" && argc != 4)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string path = argv[2];
    CTaloriaApp app;
    app.m_strAppDir = std::filesystem::path(path).parent_path().string();
    auto save = [&](int version) {
        return kind == "settings" ? SaveSettings(app, path, version) : SaveDocument(path, version);
    };
    if (mode == "once") return save(std::atoi(argv[4]) != 0 ? 1 : 0) ? 0 : 1;
    for (int version = 1;; version ^= 1) {
        if (!save(version)) return 1;
    }
}
