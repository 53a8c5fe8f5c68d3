// Chooses the replay flags for a phoneme input named on the command line.
#pragma once

#include <string>

namespace phorender {

// Flags for phoneme text read from standard input.
constexpr int kTextFlags = 0x840;
// Flags for a ".phs" phoneme script and for any other phoneme file.
constexpr int kScriptFileFlags = 0xA60;
constexpr int kPhonemeFileFlags = 0x860;

// The extension is the name from its last "." on; exactly ".phs" (letter case
// counts) marks a phoneme script.
int flags_for_input_file(const std::string& name);

}  // namespace phorender
