// The main window's message handling and its player and settings commands.
#include "main_frame.h"

#include "audio_player.h"
#include "dialogs.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host.h"
#include "view.h"

long CMainFrame::WindowProc(unsigned message) {
    if (message != framework::MM_WOM_DONE) return 0;
    const long result = thePlayer.OnBufferDone() ? 1 : 0;
    framework::ui_host().command_states_changed();
    return result;
}

void CMainFrame::OnPlay(CTaloriaDoc& doc, framework::CWnd* window) {
    if (doc.m_strPlayFile.empty()) return;
    if (doc.m_strPlayFile != thePlayer.GetFileName() && !thePlayer.Open(doc.m_strPlayFile)) return;
    thePlayer.Play(window, 0);
}

void CMainFrame::OnPause() {
    if (thePlayer.IsPaused()) {
        thePlayer.Restart();
    } else if (thePlayer.IsPlaying()) {
        thePlayer.Pause();
    }
}

void CMainFrame::OnStop() { thePlayer.Stop(); }

void CMainFrame::OnConfiguration() {
    auto* app = static_cast<CTaloriaApp*>(framework::AfxGetApp());
    CConfigurationDialog dialog;
    dialog.m_bOldConsole = app->m_bOldConsole;
    if (dialog.DoModal() == IDOK) app->m_bOldConsole = dialog.m_bOldConsole;
}

void CMainFrame::OnAppAbout() {
    CAboutDialog dialog;
    dialog.DoModal();
}

void CMainFrame::Attach(CTaloriaApp* app, CTaloriaView* view, std::function<void()> quit) {
    m_pApp = app;
    m_pView = view;
    m_quit = std::move(quit);
}

CTaloriaDoc* CMainFrame::Document() const { return m_pApp ? m_pApp->GetTaloriaDoc() : nullptr; }

const CMainFrame::CommandEntry CMainFrame::kCommands[] = {
    {"new", [](CMainFrame& f) { f.m_pApp->OnFileNew(); }},
    {"open", [](CMainFrame& f) { f.m_pApp->OnFileOpen(); }},
    {"save", [](CMainFrame& f) { f.m_pApp->OnFileSave(); }},
    {"saveAs", [](CMainFrame& f) { f.m_pApp->OnFileSaveAs(); }},
    {"recent1", [](CMainFrame& f) { f.m_pApp->OnFileMRU(0); }},
    {"recent2", [](CMainFrame& f) { f.m_pApp->OnFileMRU(1); }},
    {"recent3", [](CMainFrame& f) { f.m_pApp->OnFileMRU(2); }},
    {"recent4", [](CMainFrame& f) { f.m_pApp->OnFileMRU(3); }},
    {"exit", [](CMainFrame& f) { f.m_quit(); }},
    {"restart", [](CMainFrame& f) { f.m_pView->OnGoRestart(); }},
    {"help", [](CMainFrame& f) { f.m_pView->OnHelpContents(); }},
    {"configuration", [](CMainFrame&) { OnConfiguration(); }},
    {"reloadConfigurations", [](CMainFrame& f) { f.m_pView->OnReloadConfigurations(); }},
    {"about", [](CMainFrame&) { OnAppAbout(); }},
    {"play",
     [](CMainFrame& f) {
         if (CTaloriaDoc* doc = f.Document()) OnPlay(*doc, &f);
     }},
    {"pause", [](CMainFrame&) { OnPause(); }},
    {"stop", [](CMainFrame&) { OnStop(); }},
};

std::function<void()> CMainFrame::FindCommand(const std::string& name) {
    for (const CommandEntry& entry : kCommands) {
        if (name == entry.name) return [this, action = entry.action] { action(*this); };
    }
    return {};
}
