// The view: page display, navigation interception, results and help pages.
#include "view.h"

#include "navigation.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host.h"
#include "audio_player.h"

#include <cstdio>

namespace {

CTaloriaApp* App() { return TaloriaApp(); }

std::string Format(const char* format, int a, int b) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
}

}  // namespace

CTaloriaDoc* CTaloriaView::GetDocument() const {
    return static_cast<CTaloriaDoc*>(framework::CView::GetDocument());
}

void CTaloriaView::Navigate2(const std::string& path, const std::string& frame) {
    framework::ui_host().navigate(path, frame);
}

void CTaloriaView::OnUpdate(framework::CView*, long, void*) {
    if (CTaloriaDoc* doc = GetDocument()) Navigate2(doc->m_strPage);
}

void CTaloriaView::OnGoRestart() { Navigate2(App()->m_strAppDir + "/help/index.html"); }

bool CTaloriaView::IsAudioLink(const std::string& url) { return shell::is_audio_link(url); }

std::string CTaloriaView::DecodeFormField(const std::string& raw) { return shell::decode_form_field(raw); }

bool CTaloriaView::PlayAudioLink(const std::string& url) {
    const std::string file = shell::audio_link_file(url);
    if (file != thePlayer.GetFileName() && !thePlayer.Open(file)) return false;
    thePlayer.Play(m_pMainWnd, shell::audio_link_start_seconds(url));
    return true;
}

void CTaloriaView::OnBeforeNavigate2(const std::string& url, unsigned long, const std::string&,
                                     const std::string& posted_data, const std::string&, bool* cancel) {
    if (IsAudioLink(url)) {
        if (PlayAudioLink(url)) *cancel = true;
        return;
    }
    if (!posted_data.empty()) {
        // The form's action address is never looked at: every post is a request.
        *cancel = true;
        // Without a document (the application did not start) there is nothing to run.
        if (GetDocument() != nullptr) HandleFormRequest(posted_data);
    }
}

void CTaloriaView::HandleFormRequest(const std::string& posted_data) {
    CTaloriaApp* app = App();
    CTaloriaDoc* doc = GetDocument();
    std::string names[3];
    const std::size_t n = posted_data.size();
    std::size_t i = 0;
    do {
        std::size_t end = posted_data.find('&', i);
        if (end == std::string::npos) end = n;
        const std::string field = DecodeFormField(posted_data.substr(i, end - i));
        i = end + 1;
        if (field.compare(0, 6, "input=") == 0) {
            doc->SetInputText(field.substr(6));
        } else if (field.compare(0, 8, "config1=") == 0) {
            names[0] = field.substr(8);
        } else if (field.compare(0, 8, "config2=") == 0) {
            names[1] = field.substr(8);
        } else if (field.compare(0, 8, "config3=") == 0) {
            names[2] = field.substr(8);
        } else if (field.compare(0, 6, "help1=") == 0) {
            ShowConfigHelpPage(0, names[0]);
            return;
        } else if (field.compare(0, 6, "help2=") == 0) {
            ShowConfigHelpPage(1, names[1]);
            return;
        } else if (field.compare(0, 6, "help3=") == 0) {
            ShowConfigHelpPage(2, names[2]);
            return;
        }
    } while (i < n);

    for (int stage = 0; stage < NUM_STAGES; ++stage) app->SelectConfiguration(stage, names[stage]);
    doc->WriteInputPage();
    doc->RunStages();
    ShowResultsPage();
}

// The rows of the results table: one per command up to the one that did not
// finish, which gets the red error row in its place.
static std::string BuildResultRows(const CTaloriaApp* app) {
    const std::string& dir = app->m_strAppDir;
    std::string rows;
    for (int s = 0; s < NUM_STAGES; ++s) {
        for (int i = 0; i < app->m_nCommands[s]; ++i) {
            const CommandTemplate& command = app->m_commands[s][i];
            if (!command.done) {
                rows += "<tr><td bgcolor='#FFD0D0'><center>";
                rows += Format("<a href='output%d-%d.txt' target='RIGHT'>", s, i);
                rows += "<img src='error.gif' width=50 height=32 border=0></a></center></td></tr>\n";
                return rows;
            }
            const unsigned flags = command.flags;
            if (flags & CMD_INPUT) {
                rows += "<tr><td bgcolor='#D0FFD0'><center>";
                rows += "<a href='" + dir + "/html/synthesis.htm' target='_top'>Input</a>";
            } else if (flags & CMD_OUTPUT) {
                rows += "<tr><td bgcolor='#D0FFD0'><center>";
                rows += "<a href='" + dir + "/" + command.arg + "' target='RIGHT'>Output</a>";
            } else if (flags & CMD_ARG) {
                rows += "<tr><td bgcolor='#FFFFD0'><center>";
                rows += "<a href='" + dir + "/" + command.arg + "' target='RIGHT'>" + command.text + "</a>";
            } else {
                rows += "<tr><td bgcolor='#FFFFD0'><center>";
                rows += command.text;
            }
            rows += "</center></td></tr>\n";
            if ((flags & (CMD_TEXT | CMD_XML | CMD_WAV)) && !(flags & (CMD_INPUT | CMD_OUTPUT))) {
                rows += "<tr><td bgcolor='#D0FFD0'><center>";
                if (flags & CMD_TEXT) {
                    rows += Format("<a href='output%d-%d.txt' target='RIGHT'>", s, i);
                    rows += "<img src='text.gif' width=50 height=32 border=0></a>";
                } else if (flags & CMD_XML) {
                    rows += Format("<a href='output%d-%d.xml' target='RIGHT'>", s, i);
                    rows += "<img src='xml.gif' width=50 height=32 border=0></a>";
                } else {
                    rows += Format("<a href='output%d-%d.wav'>AUDIO</a>", s, i);
                }
                rows += "</center></td></tr>\n";
            }
        }
    }
    return rows;
}

void CTaloriaView::ShowResultsPage() {
    const std::string& dir = App()->m_strAppDir;
    const std::string rows = BuildResultRows(App());
    GetDocument()->WritePage(dir + "/html/system.htt", dir + "/html/system.htm", rows, "", "", "");
    Navigate2(dir + "/html/system.htm", "LEFT");
}

void CTaloriaView::ShowConfigHelpPage(int stage_index, const std::string& configuration_name) {
    CTaloriaApp* app = App();
    std::string help;
    if (!app->GetConfigHelp(stage_index, configuration_name, help)) return;
    const std::string& dir = app->m_strAppDir;
    // The name comes from the posted form and may hold anything; the help text is the
    // configuration author's own and may hold markup.
    GetDocument()->WritePage(dir + "/html/cfghelp.htt", dir + "/html/cfghelp.htm",
                             HtmlText(configuration_name), help, "", "");
    Navigate2(dir + "/html/cfghelp.htm", "RIGHT");
}
