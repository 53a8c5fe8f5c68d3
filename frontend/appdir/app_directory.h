// Which application directory taloria2 works in, and the per-user copy of the
// installed app data with its update rule.
//
// An application directory holds config/, html/ and help/. Started inside one
// (or given one with --appdir), the program works there as it finds it.
// Started anywhere else, it works in the per-user directory
// $XDG_DATA_HOME/Taloria, made from the installed app data on first start and
// brought up to date at every start: a shipped file the user has not changed
// follows the installed version; a file the user has edited is kept, and the
// program says once, for each new installed version of it, that it left it alone.
#pragma once

#include <string>
#include <vector>

namespace appdir {

// Name of the manifest in the per-user directory: one line per shipped file,
// "<base hash> <noticed hash> <relative path>", where the base is the shipped
// version the user's copy came from and the noticed hash the shipped version
// already reported as left alone ("-" for none).
inline constexpr const char* kManifestName = ".taloria-shipped";

// True when `dir` holds the folders config/, html/ and help/.
bool IsApplicationDirectory(const std::string& dir);

// $XDG_DATA_HOME/Taloria when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/Taloria.
std::string UserApplicationDirectory();

// The installed app data relative to the folder of the executable:
// <program_dir>/../share/taloria/appdata.
std::string InstalledAppData(const std::string& program_dir);

struct Choice {
    std::string dir;      // the application directory to work in
    std::string shipped;  // app data to make and update it from; empty: use it as it is
};

// Chooses the application directory. `appdir_option` (--appdir) and
// `appdata_option` (--appdata) may be empty. With --appdir the directory is
// used as it is, unless --appdata is given too, which makes and updates it
// from that app data. Without --appdir the current directory is used when it
// is an application directory, else the per-user directory, made from
// --appdata or the installed app data.
Choice ChooseApplicationDirectory(const std::string& appdir_option,
                                  const std::string& appdata_option, const std::string& current_dir,
                                  const std::string& program_dir);

struct SyncReport {
    std::vector<std::string> copied;   // new in the directory (first start, or new shipped files)
    std::vector<std::string> updated;  // replaced by a newer shipped version
    std::vector<std::string>
        kept;           // edited by the user, newer shipped version not taken (said once)
    std::string error;  // empty on success
};

// Makes `dir` from the shipped app data or brings it up to date (paths in the
// report are relative). Files in `dir` that are not shipped are never touched.
SyncReport SyncApplicationDirectory(const std::string& shipped, const std::string& dir);

// The lines the program prints (and shows) about the files it left alone;
// empty when there are none.
std::string KeptFilesMessage(const SyncReport& report, const std::string& dir);

}  // namespace appdir
