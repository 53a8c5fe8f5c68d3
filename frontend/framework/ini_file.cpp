// Reading, formatting and atomic saving of INI files.
#include "ini_file.h"

#include <filesystem>

#include "file_io.h"

namespace framework {

namespace {

// Files larger than this are not settings files of ours.
constexpr size_t kMaxIniBytes = 1 << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string EncodeValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    bool quote = !out.empty() && (IsBlank(out.front()) || IsBlank(out.back()) ||
                                  out.front() == '"' || out.back() == '"');
    return quote ? '"' + out + '"' : out;
}

std::string DecodeValue(std::string raw) {
    raw = Trim(raw);
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        raw = raw.substr(1, raw.size() - 2);
    }
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            char next = raw[i + 1];
            if (next == '\\' || next == 'n' || next == 'r') {
                out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
                ++i;
                continue;
            }
        }
        out += raw[i];
    }
    return out;
}

}  // namespace

IniFile::LoadResult IniFile::Load(const std::string& path) {
    sections_.clear();
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return LoadResult::Missing;
    std::string text;
    if (!ReadTextFile(path, text)) return LoadResult::Unreadable;
    if (text.size() > kMaxIniBytes || !Parse(text)) return LoadResult::Corrupt;
    return LoadResult::Loaded;
}

bool IniFile::Parse(const std::string& text) {
    sections_.clear();
    if (text.find('\0') != std::string::npos) return false;
    std::vector<Section> parsed;
    for (std::string line : SplitLines(text)) {
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') continue;
        if (trimmed[0] == '[') {
            // "[]" is the section with the empty name, which is also what
            // "[ ]" reads as; refusing it would make such a file unreadable
            // once it had been saved.
            if (trimmed.size() < 2 || trimmed.back() != ']') return false;
            parsed.push_back({Trim(trimmed.substr(1, trimmed.size() - 2)), {}});
            continue;
        }
        size_t equals = trimmed.find('=');
        if (equals == std::string::npos || parsed.empty()) return false;
        std::string key = Trim(trimmed.substr(0, equals));
        if (key.empty()) return false;
        // The value is taken from the untrimmed line so that a quoted value
        // keeps its blanks; DecodeValue trims outside the quotes.
        std::string value = DecodeValue(line.substr(line.find('=') + 1));
        auto& entries = parsed.back().entries;
        bool replaced = false;
        for (auto& entry : entries) {
            if (entry.first == key) {
                entry.second = value;
                replaced = true;
            }
        }
        if (!replaced) entries.emplace_back(key, value);
    }
    // Sections that appear twice are merged, later entries winning.
    for (auto& section : parsed) {
        for (auto& [key, value] : section.entries) Set(section.name, key, value);
    }
    return true;
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
    for (const auto& s : sections_) {
        if (s.name != section) continue;
        for (const auto& [k, v] : s.entries) {
            if (k == key) return v;
        }
    }
    return std::nullopt;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    for (auto& s : sections_) {
        if (s.name != section) continue;
        for (auto& entry : s.entries) {
            if (entry.first == key) {
                entry.second = value;
                return;
            }
        }
        s.entries.emplace_back(key, value);
        return;
    }
    sections_.push_back({section, {{key, value}}});
}

void IniFile::Remove(const std::string& section, const std::string& key) {
    for (auto& s : sections_) {
        if (s.name != section) continue;
        std::erase_if(s.entries, [&](const auto& entry) { return entry.first == key; });
    }
}

std::string IniFile::Format() const {
    std::string out;
    for (const auto& s : sections_) {
        if (!out.empty()) out += '\n';
        out += '[' + s.name + "]\n";
        for (const auto& [key, value] : s.entries) out += key + '=' + EncodeValue(value) + '\n';
    }
    return out;
}

bool IniFile::Save(const std::string& path) const {
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (!folder.empty() && !MakeDirectories(folder)) return false;
    return WriteFileAtomic(path, Format());
}

}  // namespace framework
