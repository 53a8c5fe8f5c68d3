// CMainFrame: the main window. Its menus, toolbar and status bar live in the
// shell page; here it receives the player's buffer-done messages and carries
// the commands that act on the player and the settings.
#pragma once

#include "wnd.h"

class CTaloriaDoc;

class CMainFrame : public framework::CWnd {
public:
    // The bars are drawn by the shell page, so creation cannot fail here.
    int OnCreate() { return 0; }

    // MM_WOM_DONE: hands the finished buffer to the player. The enabled state
    // of Play, Pause and Stop may change with it (a replay that ended).
    long WindowProc(unsigned message) override;

    // Play: the document's play file from the start (opened first when it is
    // not the player's file). Pause: toggles pause and resume. Stop: stops.
    static void OnPlay(CTaloriaDoc& doc, framework::CWnd* window);
    static void OnPause();
    static void OnStop();
    // View > Configuration: the OldConsole setting through its dialog.
    static void OnConfiguration();
    // Help > About.
    static void OnAppAbout();
};
