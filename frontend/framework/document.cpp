// Document and view bases.
#include "document.h"

#include <algorithm>
#include <filesystem>

#include "app.h"
#include "ui_host.h"

namespace framework {

CView::~CView() {
    if (m_pDocument) m_pDocument->RemoveView(this);
}

CDocument::~CDocument() {
    for (CView* view : m_views) view->m_pDocument = nullptr;
}

BOOL CDocument::OnNewDocument() {
    DeleteContents();
    m_strPathName.clear();
    return 1;
}

BOOL CDocument::OnOpenDocument(const std::string&) {
    DeleteContents();
    return 1;
}

BOOL CDocument::OnSaveDocument(const std::string&) { return 1; }

void CDocument::AddView(CView* view) {
    if (view->m_pDocument == this) return;
    if (view->m_pDocument) view->m_pDocument->RemoveView(view);
    m_views.push_back(view);
    view->m_pDocument = this;
}

void CDocument::RemoveView(CView* view) {
    std::erase(m_views, view);
    if (view->m_pDocument == this) view->m_pDocument = nullptr;
}

void CDocument::UpdateAllViews(CView* sender, long hint, void* hint_object) {
    // A copy, so that a view may detach itself while it is updated.
    std::vector<CView*> views = m_views;
    for (CView* view : views) {
        if (view != sender) view->OnUpdate(sender, hint, hint_object);
    }
}

void CDocument::SetPathName(const std::string& path, bool add_to_recent) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    m_strPathName = error ? path : full.lexically_normal().string();
    m_strTitle = std::filesystem::path(m_strPathName).filename().string();
    if (add_to_recent) {
        if (CWinApp* app = AfxGetApp()) app->AddToRecentFileList(m_strPathName);
    }
}

void CDocument::SetUntitled(const std::string& new_file_name) {
    m_strPathName.clear();
    m_strTitle = new_file_name;
}

BOOL CDocument::DoFileSave() {
    if (m_strPathName.empty()) return DoSave("");
    return DoSave(m_strPathName);
}

BOOL CDocument::DoSave(const std::string& path) {
    std::string target = path;
    if (target.empty()) {
        target = m_strPathName.empty() ? m_strTitle : m_strPathName;
        if (!ui_host().file_dialog(FileChooser::save, target) || target.empty()) return 0;
    }
    if (!OnSaveDocument(target)) return 0;
    SetPathName(target);
    return 1;
}

}  // namespace framework
