// The main window's message handling and its player and settings commands.
#include "main_frame.h"

#include "audio_player.h"
#include "dialogs.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host.h"

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
