// Replay flags by input name.
#include "input_flags.h"

namespace phorender {

int flags_for_input_file(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && name.compare(dot, std::string::npos, ".phs") == 0) {
        return kScriptFileFlags;
    }
    return kPhonemeFileFlags;
}

}  // namespace phorender
