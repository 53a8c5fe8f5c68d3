// Small text helpers that several parts of the core share.
#include "core_text.h"

#include <cctype>

namespace core {

std::string UnableToOpen(const std::string& path) { return "Unable to open '" + path + "'"; }

bool EndsWithAnyCase(std::string_view name, std::string_view ending) {
    if (name.size() < ending.size()) return false;
    const std::string_view tail = name.substr(name.size() - ending.size());
    for (std::size_t i = 0; i < ending.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(tail[i])) != ending[i]) return false;
    }
    return true;
}

}  // namespace core
