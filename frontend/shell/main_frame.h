// CMainFrame: the main window. Its menus, toolbar and status bar live in the
// shell page; here it receives the player's buffer-done messages and carries
// the commands that act on the player and the settings.
#pragma once

#include <functional>
#include <string>

#include "wnd.h"

class CTaloriaApp;
class CTaloriaDoc;
class CTaloriaView;

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

    // What the named commands act on; `quit` ends the program's UI loop.
    void Attach(CTaloriaApp* app, CTaloriaView* view, std::function<void()> quit);
    // The action of the command `name` from the shell's menus and toolbar
    // ("new", "open", ..., "recent1".."recent4"), looked up in the command
    // table; empty for a name the table does not hold. The action runs on
    // the UI loop.
    std::function<void()> FindCommand(const std::string& name);

private:
    // One row of the command table: a name and what it does to this frame.
    struct CommandEntry {
        const char* name;
        void (*action)(CMainFrame& frame);
    };
    static const CommandEntry kCommands[];

    CTaloriaDoc* Document() const;

    CTaloriaApp* m_pApp = nullptr;
    CTaloriaView* m_pView = nullptr;
    std::function<void()> m_quit;
};
