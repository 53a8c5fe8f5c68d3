// The shell page's own files, compiled into the program.
#pragma once

#include <string>
#include <string_view>

namespace shell {

struct ShellAsset {
    const char* content_type;
    std::string_view body;
};

// The asset with this file name ("index.html", "shell.js", ...), or null.
const ShellAsset* find_shell_asset(const std::string& name);

}  // namespace shell
