// Application base: settings file, single document and recent files.
#include "app.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>

#include "file_io.h"
#include "ui_host.h"

namespace framework {

namespace {

CWinApp* current_app = nullptr;

constexpr const char* kRecentSection = "Recent File List";

}  // namespace

std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

CWinApp::CWinApp(std::string app_name) : m_pszAppName(std::move(app_name)) { current_app = this; }

CWinApp::~CWinApp() {
    // The document goes before the application, so views see it detach.
    m_pDocument.reset();
    if (current_app == this) current_app = nullptr;
}

CWinApp* AfxGetApp() { return current_app; }

int CWinApp::ExitInstance() {
    SaveStdProfileSettings();
    if (m_strProfilePath.empty()) return 0;
    if (!SaveProfile()) {
        AfxMessageBox("Unable to save the settings to '" + m_strProfilePath + "'");
        return 1;
    }
    return 0;
}

void CWinApp::SetRegistryKey(const std::string& key) {
    m_pszRegistryKey = key;
    SetProfilePath(UserConfigFolder() + "/" + key + "/" + m_pszAppName + ".ini");
}

void CWinApp::SetProfilePath(const std::string& path) {
    m_strProfilePath = path;
    // A save killed before its rename leaves its temporary file behind.
    RemoveLeftoverTempFiles(path);
    m_profileLoad = m_profile.Load(path);
}

int CWinApp::GetProfileInt(const std::string& section, const std::string& entry,
                           int default_value) const {
    auto text = m_profile.Get(section, entry);
    if (!text) return default_value;
    int value = 0;
    const char* begin = text->data();
    const char* end = begin + text->size();
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    auto [rest, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || rest == begin) return default_value;
    return value;
}

std::string CWinApp::GetProfileString(const std::string& section, const std::string& entry,
                                      const std::string& default_value) const {
    auto text = m_profile.Get(section, entry);
    return text ? *text : default_value;
}

BOOL CWinApp::WriteProfileInt(const std::string& section, const std::string& entry, int value) {
    m_profile.Set(section, entry, std::to_string(value));
    return 1;
}

BOOL CWinApp::WriteProfileString(const std::string& section, const std::string& entry,
                                 const std::string& value) {
    m_profile.Set(section, entry, value);
    return 1;
}

bool CWinApp::SaveProfile() {
    return !m_strProfilePath.empty() && m_profile.Save(m_strProfilePath);
}

void CWinApp::LoadStdProfileSettings(unsigned max_files) {
    m_maxRecentFiles = max_files;
    m_recentFiles.clear();
    for (unsigned i = 1; i <= max_files; ++i) {
        std::string path = GetProfileString(kRecentSection, "File" + std::to_string(i), "");
        if (!path.empty()) m_recentFiles.push_back(path);
    }
}

void CWinApp::SaveStdProfileSettings() {
    if (m_maxRecentFiles == 0) return;
    for (unsigned i = 1; i <= m_maxRecentFiles; ++i) {
        std::string entry = "File" + std::to_string(i);
        if (i <= m_recentFiles.size()) {
            WriteProfileString(kRecentSection, entry, m_recentFiles[i - 1]);
        } else {
            m_profile.Remove(kRecentSection, entry);
        }
    }
}

void CWinApp::AddToRecentFileList(const std::string& path) {
    if (m_maxRecentFiles == 0 || path.empty()) return;
    std::erase(m_recentFiles, path);
    m_recentFiles.insert(m_recentFiles.begin(), path);
    if (m_recentFiles.size() > m_maxRecentFiles) m_recentFiles.resize(m_maxRecentFiles);
}

void CWinApp::AddDocTemplate(std::function<std::unique_ptr<CDocument>()> create_document,
                             std::string new_file_name) {
    m_createDocument = std::move(create_document);
    m_strNewFileName = std::move(new_file_name);
}

CDocument* CWinApp::EnsureDocument() {
    if (!m_pDocument && m_createDocument) {
        m_pDocument = m_createDocument();
        if (m_pDocument && m_attachViews) m_attachViews(*m_pDocument);
    }
    return m_pDocument.get();
}

BOOL CWinApp::OnFileNew() {
    CDocument* document = EnsureDocument();
    if (!document) return 0;
    document->SetUntitled(m_strNewFileName);
    return document->OnNewDocument() ? 1 : 0;
}

BOOL CWinApp::OnFileOpen() {
    std::string path;
    if (!ui_host().file_dialog(FileChooser::open, path) || path.empty()) return 0;
    return OpenDocumentFile(path) ? 1 : 0;
}

CDocument* CWinApp::OpenDocumentFile(const std::string& path) {
    CDocument* document = EnsureDocument();
    if (!document) return nullptr;
    if (!document->OnOpenDocument(path)) return nullptr;
    document->SetPathName(path);
    return document;
}

BOOL CWinApp::OnFileMRU(size_t index) {
    if (index >= m_recentFiles.size()) return 0;
    std::string path = m_recentFiles[index];
    if (OpenDocumentFile(path)) return 1;
    std::erase(m_recentFiles, path);
    return 0;
}

BOOL CWinApp::OnFileSave() {
    CDocument* document = GetDocument();
    return document ? document->DoFileSave() : 0;
}

BOOL CWinApp::OnFileSaveAs() {
    CDocument* document = GetDocument();
    return document ? document->DoSave("") : 0;
}

BOOL CWinApp::ProcessShellCommand(const std::string& file_name) {
    if (file_name.empty()) return OnFileNew();
    return OpenDocumentFile(file_name) ? 1 : 0;
}

}  // namespace framework
