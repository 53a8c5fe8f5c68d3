// Fuzz target: a stage configuration file of the front end, selected through
// the catalogue (LoadCommandTemplates with its word splitter and macro words)
// and read again for its help lines.
//
// Input: the whole configuration file.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "taloria_app.h"

namespace {

void check_words(const std::string& line) {
    for (const std::string& word : SplitConfigWords(line)) {
        fuzz::check(!word.empty(), "empty word");
        fuzz::check(word.find('#') == std::string::npos, "'#' inside a word");
        // A blank can only be part of a word after a '(' has protected it.
        const std::size_t blank = word.find_first_of(" \t\n\r\v\f");
        fuzz::check(blank == std::string::npos || line.find('(') != std::string::npos,
                    "blank inside a word without parentheses");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file("1fuzz.txt");
    static CTaloriaApp* app = [] {
        fuzz::install_quiet_ui_host();
        auto* created = new CTaloriaApp;
        created->m_configs[0].push_back({file.path(), "fuzz"});
        created->m_nConfigs[0] = 1;
        return created;
    }();
    file.write(data, size);

    app->SelectConfiguration(0, "fuzz");
    const int count = app->m_nCommands[0];
    fuzz::check(count >= 0 && static_cast<std::size_t>(count) <= app->m_commands[0].size(),
                "more templates than stored");
    fuzz::check(app->m_strStageConfig[0] == "fuzz", "selection not remembered");
    for (int i = 0; i < count; ++i) {
        const CommandTemplate& t = app->m_commands[0][i];
        fuzz::check((t.flags & ~0x7F) == 0, "unknown flag bit");
        fuzz::check(t.text.find('\n') == std::string::npos, "line feed in a command");
    }

    std::string help;
    fuzz::check(app->GetConfigHelp(0, "fuzz", help) == 1, "help of a readable file fails");

    const std::string line(reinterpret_cast<const char*>(data), size);
    check_words(line);
    return 0;
}
