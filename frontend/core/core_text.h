// Small text helpers that several parts of the core share.
#pragma once

#include <string>
#include <string_view>

namespace core {

// "Unable to open '<path>'": the message for a file the core cannot create or read.
std::string UnableToOpen(const std::string& path);

// Whether `name` ends with `ending` in any letter case; `ending` is given in lower case.
bool EndsWithAnyCase(std::string_view name, std::string_view ending);

}  // namespace core
