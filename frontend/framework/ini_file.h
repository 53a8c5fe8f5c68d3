// A small INI file: sections of key=value entries, read whole and written atomically.
//
// Values that begin or end with blanks or a double quote are written in double
// quotes; backslash, CR and LF inside values are written as \\, \r and \n. So
// every string read back equals the string stored.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace framework {

class IniFile {
public:
    enum class LoadResult { Loaded, Missing, Unreadable, Corrupt };

    // Replaces the content with the file's. Anything but Loaded leaves the
    // content empty, so every value takes its default.
    LoadResult Load(const std::string& path);
    // Parses text; false (and an empty content) when a line is neither blank,
    // a comment (';' or '#'), a [section] nor a key=value entry.
    bool Parse(const std::string& text);

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;
    void Set(const std::string& section, const std::string& key, const std::string& value);
    void Remove(const std::string& section, const std::string& key);

    std::string Format() const;
    // Writes the file atomically, creating its folder; false on failure (the
    // old file then stays as it was).
    bool Save(const std::string& path) const;

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    std::vector<Section> sections_;
};

}  // namespace framework
