// Document and view bases: a document holds the data, views show it and are
// told to refresh through UpdateAllViews.
#pragma once

#include <string>
#include <vector>

namespace framework {

// Operations of the front end return 1 for success and 0 for failure.
using BOOL = int;

class CDocument;

// A view of one document. The document does not own its views.
class CView {
public:
    virtual ~CView();

    // Called once the view is attached; by default shows the document as it is now.
    virtual void OnInitialUpdate() { OnUpdate(nullptr, 0, nullptr); }
    // Called by the document's UpdateAllViews.
    virtual void OnUpdate(CView* sender, long hint, void* hint_object) = 0;

    CDocument* GetDocument() const { return m_pDocument; }

private:
    friend class CDocument;
    CDocument* m_pDocument = nullptr;
};

class CDocument {
public:
    CDocument() = default;
    virtual ~CDocument();
    CDocument(const CDocument&) = delete;
    CDocument& operator=(const CDocument&) = delete;

    // File New: empties the document and forgets its file name.
    virtual BOOL OnNewDocument();
    // File Open: the base only empties the document; derived documents read the file.
    virtual BOOL OnOpenDocument(const std::string& path);
    // File Save: the base writes nothing; derived documents write the file.
    virtual BOOL OnSaveDocument(const std::string& path);
    virtual void DeleteContents() {}
    virtual void Serialize() {}

    void AddView(CView* view);
    void RemoveView(CView* view);
    const std::vector<CView*>& GetViews() const { return m_views; }
    // Calls OnUpdate of every attached view except `sender`.
    void UpdateAllViews(CView* sender, long hint = 0, void* hint_object = nullptr);

    const std::string& GetPathName() const { return m_strPathName; }
    // Remembers the file and names the document after it; adds it to the
    // application's recent-file list unless told not to.
    void SetPathName(const std::string& path, bool add_to_recent = true);
    const std::string& GetTitle() const { return m_strTitle; }
    void SetTitle(const std::string& title) { m_strTitle = title; }
    // The title of a document that has no file yet.
    void SetUntitled(const std::string& new_file_name);

    // Save: to the document's file, or through Save As when it has none.
    BOOL DoFileSave();
    // Save As: asks for a name (proposing the current one) unless `path` is
    // given, saves, and on success takes the new name.
    BOOL DoSave(const std::string& path);

    // The document never marks itself modified, so nobody is asked to save.
    bool IsModified() const { return false; }

private:
    std::vector<CView*> m_views;
    std::string m_strPathName;
    std::string m_strTitle;
};

}  // namespace framework
