// Choice of the application directory and the per-user copy of the app data.
#include "app_directory.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

#include "file_io.h"

namespace fs = std::filesystem;

namespace appdir {
namespace {

// FNV-1a, 64 bits: tells a changed file from an unchanged one (it is no
// defence against someone forging a file, which the user owns anyway).
std::string ContentHash(const std::string& data) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

struct ManifestEntry {
    std::string base;     // hash of the shipped version the user's copy came from
    std::string noticed;  // shipped hash already reported as left alone, or "-"
};
using Manifest = std::map<std::string, ManifestEntry>;

Manifest ReadManifest(const std::string& path) {
    Manifest manifest;
    std::string text;
    if (!framework::ReadBinaryFile(path, text)) return manifest;
    for (const std::string& raw : framework::SplitLines(text)) {
        std::string line = raw;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos || second + 1 >= line.size()) continue;
        manifest[line.substr(second + 1)] = {line.substr(0, first),
                                             line.substr(first + 1, second - first - 1)};
    }
    return manifest;
}

bool WriteManifest(const std::string& path, const Manifest& manifest) {
    std::string text;
    for (const auto& [relative, entry] : manifest) {
        text += entry.base + " " + (entry.noticed.empty() ? "-" : entry.noticed) + " " + relative +
                "\n";
    }
    return framework::WriteFileAtomic(path, text);
}

// Every regular file of the app data's folders config/, html/ and help/, as
// paths relative to `root`, sorted by bytes; nothing else beside them is app data.
std::vector<std::string> ShippedFiles(const std::string& root, std::error_code& error) {
    std::vector<std::string> files;
    for (const char* folder : {"config", "html", "help"}) {
        for (fs::recursive_directory_iterator it(
                 fs::path(root) / folder, fs::directory_options::follow_directory_symlink, error),
             end;
             !error && it != end; it.increment(error)) {
            if (it->is_regular_file()) {
                files.push_back(it->path().lexically_relative(root).generic_string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool CopyShippedFile(const std::string& data, const std::string& target) {
    return framework::MakeDirectories(fs::path(target).parent_path().string()) &&
           framework::WriteFileAtomic(target, data);
}

// Brings one shipped file into the directory by the update rule; false when
// a copy could not be written.
bool SyncFile(const std::string& relative, const std::string& shipped_data,
              const std::string& target, const ManifestEntry* recorded, Manifest& manifest,
              SyncReport& report) {
    const std::string shipped_hash = ContentHash(shipped_data);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(target, error))) {
        // New, or removed by the user: the program needs its files back.
        if (!CopyShippedFile(shipped_data, target)) return false;
        manifest[relative] = {shipped_hash, "-"};
        report.copied.push_back(relative);
        return true;
    }
    std::string user_data;
    const bool readable = framework::ReadBinaryFile(target, user_data);
    const std::string user_hash = readable ? ContentHash(user_data) : std::string();
    if (readable && user_hash == shipped_hash) {
        manifest[relative] = {shipped_hash, "-"};
        return true;
    }
    if (readable && recorded != nullptr && user_hash == recorded->base) {
        // Unchanged since it was shipped: it follows the newer version.
        if (!CopyShippedFile(shipped_data, target)) return false;
        manifest[relative] = {shipped_hash, "-"};
        report.updated.push_back(relative);
        return true;
    }
    // Edited by the user (or of unknown origin): kept, and said once per
    // shipped version.
    ManifestEntry entry = recorded != nullptr ? *recorded : ManifestEntry{"-", "-"};
    if (entry.noticed != shipped_hash) report.kept.push_back(relative);
    entry.noticed = shipped_hash;
    manifest[relative] = entry;
    return true;
}

}  // namespace

bool IsApplicationDirectory(const std::string& dir) {
    std::error_code error;
    for (const char* name : {"config", "html", "help"}) {
        if (!fs::is_directory(fs::path(dir) / name, error)) return false;
    }
    return true;
}

std::string UserApplicationDirectory() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/')
        return (fs::path(data_home) / "Taloria").string();
    const char* home = std::getenv("HOME");
    return (fs::path(home != nullptr ? home : "") / ".local/share/Taloria").string();
}

std::string InstalledAppData(const std::string& program_dir) {
    return (fs::path(program_dir).parent_path() / "share/taloria/appdata").string();
}

Choice ChooseApplicationDirectory(const std::string& appdir_option,
                                  const std::string& appdata_option, const std::string& current_dir,
                                  const std::string& program_dir) {
    if (!appdir_option.empty()) return {appdir_option, appdata_option};
    if (appdata_option.empty() && IsApplicationDirectory(current_dir)) return {current_dir, ""};
    return {UserApplicationDirectory(),
            appdata_option.empty() ? InstalledAppData(program_dir) : appdata_option};
}

SyncReport SyncApplicationDirectory(const std::string& shipped, const std::string& dir) {
    SyncReport report;
    std::error_code error;
    if (!IsApplicationDirectory(shipped)) {
        report.error = "no app data at '" + shipped + "' (it needs config/, html/ and help/)";
        return report;
    }
    const std::vector<std::string> files = ShippedFiles(shipped, error);
    if (error) {
        report.error = "cannot read the app data at '" + shipped + "': " + error.message();
        return report;
    }
    if (!framework::MakeDirectories(dir)) {
        report.error = "cannot create the application directory '" + dir + "'";
        return report;
    }
    const std::string manifest_path = (fs::path(dir) / kManifestName).string();
    const Manifest recorded = ReadManifest(manifest_path);
    Manifest manifest = recorded;
    for (const std::string& relative : files) {
        std::string data;
        if (!framework::ReadBinaryFile((fs::path(shipped) / relative).string(), data)) {
            report.error = "cannot read '" + (fs::path(shipped) / relative).string() + "'";
            break;
        }
        auto found = recorded.find(relative);
        const ManifestEntry* entry = found == recorded.end() ? nullptr : &found->second;
        if (!SyncFile(relative, data, (fs::path(dir) / relative).string(), entry, manifest,
                      report)) {
            report.error = "cannot write '" + (fs::path(dir) / relative).string() + "'";
            break;
        }
    }
    // What was done is recorded even after a failure, so nothing is said twice.
    if (!WriteManifest(manifest_path, manifest) && report.error.empty()) {
        report.error = "cannot write '" + manifest_path + "'";
    }
    return report;
}

std::string KeptFilesMessage(const SyncReport& report, const std::string& dir) {
    if (report.kept.empty()) return "";
    std::string text = "kept your own version of these files in " + dir +
                       "; their newer installed versions were not taken:\n";
    for (const std::string& relative : report.kept) text += "  " + relative + "\n";
    return text;
}

}  // namespace appdir
