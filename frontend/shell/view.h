// CTaloriaView: the only view. It shows the document's page in the browser
// and intercepts the browser's navigations: audio links are played, posted
// forms become run and help requests.
#pragma once

#include <string>

#include "document.h"
#include "wnd.h"

class CTaloriaDoc;

class CTaloriaView : public framework::CView {
public:
    // `main_window` receives the player's buffer-done messages.
    explicit CTaloriaView(framework::CWnd* main_window) : m_pMainWnd(main_window) {}

    CTaloriaDoc* GetDocument() const;

    // Shows the document's page (m_strPage) in the whole view.
    void OnUpdate(framework::CView* sender, long hint, void* hint_object) override;

    // The browser's before-navigation event. `posted_data` holds the raw form
    // body (empty unless a form was posted); `cancel` starts false.
    void OnBeforeNavigate2(const std::string& url, unsigned long flags,
                           const std::string& target_frame, const std::string& posted_data,
                           const std::string& headers, bool* cancel);

    static bool IsAudioLink(const std::string& url);
    // False only when the player had to load a new file and could not.
    bool PlayAudioLink(const std::string& url);
    static std::string DecodeFormField(const std::string& raw);

    // Writes the results table of the current templates and their done marks
    // into system.htm (by the document) and shows it in the frame LEFT.
    void ShowResultsPage();
    // Has the document write the help of one stage's configuration into
    // cfghelp.htm and shows it in the frame RIGHT; nothing when its file
    // cannot be read.
    void ShowConfigHelpPage(int stage_index, const std::string& configuration_name);

    // Restart and Help Contents: the start page in the whole view.
    void OnGoRestart();
    void OnHelpContents() { OnGoRestart(); }

    // The input page's fields as the shell saw them when it sent command
    // `command` (URL-encoded as the page's form posts them; empty when the
    // input page is not shown). Save, Save As and Reload configurations take
    // the text box as the document's input text, decoded as a posted form's
    // "input=" field; Reload configurations also takes the selected names.
    void TakeInputPageFields(const std::string& command, const std::string& form);
    // View > Reload configurations: scans the three stages again, rewrites
    // the input page with the current selection and shows it.
    void OnReloadConfigurations();

    // The browser's Navigate2: the whole view when `frame` is empty.
    void Navigate2(const std::string& path, const std::string& frame = std::string());

private:
    // Decodes the fields of one posted form (the navigation is cancelled
    // already) and hands them to the document's run or help page.
    void HandleFormRequest(const std::string& posted_data);

    framework::CWnd* m_pMainWnd;
};
