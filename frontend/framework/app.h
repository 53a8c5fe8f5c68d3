// Application base: start-up and exit hooks, the per-user settings file, the
// single document with New, Open and the recent-file list, and the
// current-application pointer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "document.h"
#include "ini_file.h"
#include "wnd.h"

namespace framework {

class CWinApp {
public:
    // `app_name` names the settings file ("<name>.ini") and is the application title.
    explicit CWinApp(std::string app_name);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up hook: non-zero to run, 0 to quit. The base does nothing.
    virtual BOOL InitInstance() { return 1; }
    // Exit hook for a normal end: stores the recent-file list and writes the
    // settings file. Returns the exit code (0, or 1 when the settings could
    // not be written).
    virtual int ExitInstance();

    // Settings. SetRegistryKey names the folder under the per-user
    // configuration folder ($XDG_CONFIG_HOME, default ~/.config) and loads the
    // file "<folder>/<key>/<app name>.ini". A missing, unreadable or corrupt
    // file gives the defaults.
    void SetRegistryKey(const std::string& key);
    // Uses the settings file at `path` instead (tests, or a chosen location).
    void SetProfilePath(const std::string& path);
    const std::string& GetProfilePath() const { return m_strProfilePath; }
    IniFile::LoadResult GetProfileLoadResult() const { return m_profileLoad; }
    int GetProfileInt(const std::string& section, const std::string& entry,
                      int default_value) const;
    std::string GetProfileString(const std::string& section, const std::string& entry,
                                 const std::string& default_value) const;
    // Changes are held in memory and reach the file at ExitInstance (or SaveProfile).
    BOOL WriteProfileInt(const std::string& section, const std::string& entry, int value);
    BOOL WriteProfileString(const std::string& section, const std::string& entry,
                            const std::string& value);
    // Writes the settings file atomically; false (and the old file kept) on failure.
    bool SaveProfile();

    // Recent files: loaded from "[Recent File List]" File1.. with at most `max_files`.
    void LoadStdProfileSettings(unsigned max_files = 4);
    void SaveStdProfileSettings();
    // Puts a file first in the list, removing an older mention of it.
    void AddToRecentFileList(const std::string& path);
    const std::vector<std::string>& GetRecentFiles() const { return m_recentFiles; }

    // The single document: created by `create_document` the first time it is
    // needed and reused by every New and Open. `new_file_name` titles a
    // document that has no file yet. `attach_views`, when set, runs once
    // right after the document is created (before its first New or Open).
    void AddDocTemplate(std::function<std::unique_ptr<CDocument>()> create_document,
                        std::string new_file_name);
    std::function<void(CDocument&)> m_attachViews;
    CDocument* GetDocument() const { return m_pDocument.get(); }

    // File New. 0 when there is no template or the document refuses.
    BOOL OnFileNew();
    // File Open: asks for a file and opens it. 0 on Cancel or failure.
    BOOL OnFileOpen();
    // Opens `path` as the document; the document on success, else null.
    CDocument* OpenDocumentFile(const std::string& path);
    // Opens recent file `index` (0 = File1); a file that cannot be opened
    // is taken off the list.
    BOOL OnFileMRU(size_t index);
    // File Save and Save As of the current document.
    BOOL OnFileSave();
    BOOL OnFileSaveAs();
    // Start-up command: New when `file_name` is empty, else open that file.
    BOOL ProcessShellCommand(const std::string& file_name);

    const std::string m_pszAppName;
    std::string m_pszRegistryKey;
    // The main window, set by the shell; receives the player's notifications.
    CWnd* m_pMainWnd = nullptr;
    // The document file named on the command line (empty: start with New).
    std::string m_strCmdLineFile;

private:
    CDocument* EnsureDocument();

    std::string m_strProfilePath;
    IniFile m_profile;
    IniFile::LoadResult m_profileLoad = IniFile::LoadResult::Missing;
    unsigned m_maxRecentFiles = 0;
    std::vector<std::string> m_recentFiles;
    std::function<std::unique_ptr<CDocument>()> m_createDocument;
    std::string m_strNewFileName;
    std::unique_ptr<CDocument> m_pDocument;
};

// The current application object (the most recently constructed one still alive), or null.
CWinApp* AfxGetApp();

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config.
std::string UserConfigFolder();

}  // namespace framework
