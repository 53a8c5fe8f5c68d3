// The view: page display, navigation interception, results and help pages.
#include "view.h"

#include <array>
#include <optional>
#include <string>

#include "audio_player.h"
#include "navigation.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host.h"

namespace {

CTaloriaApp* App() { return TaloriaApp(); }

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

std::string CTaloriaView::DecodeFormField(const std::string& raw) {
    return shell::decode_form_field(raw);
}

bool CTaloriaView::PlayAudioLink(const std::string& url) {
    const std::string file = shell::audio_link_file(url);
    if (file != thePlayer.GetFileName() && !thePlayer.Open(file)) return false;
    thePlayer.Play(m_pMainWnd, shell::audio_link_start_seconds(url));
    return true;
}

void CTaloriaView::OnBeforeNavigate2(const std::string& url, unsigned long, const std::string&,
                                     const std::string& posted_data, const std::string&,
                                     bool* cancel) {
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

namespace {

// The fields of a posted form in their order, up to the first help button,
// which ends the request.
struct PostedFields {
    std::optional<std::string> input;
    std::array<std::string, NUM_STAGES> configurations;
    int help_stage = -1;  // 0..2 when a help button was pressed
};

PostedFields ReadPostedFields(const std::string& posted_data) {
    PostedFields fields;
    const std::size_t n = posted_data.size();
    std::size_t i = 0;
    do {
        std::size_t end = posted_data.find('&', i);
        if (end == std::string::npos) end = n;
        const std::string field = CTaloriaView::DecodeFormField(posted_data.substr(i, end - i));
        i = end + 1;
        if (field.compare(0, 6, "input=") == 0) {
            fields.input = field.substr(6);
        } else if (field.compare(0, 6, "config") == 0 && field.size() >= 8 && field[6] >= '1' &&
                   field[6] <= '3' && field[7] == '=') {
            fields.configurations[field[6] - '1'] = field.substr(8);
        } else if (field.compare(0, 4, "help") == 0 && field.size() >= 6 && field[4] >= '1' &&
                   field[4] <= '3' && field[5] == '=') {
            fields.help_stage = field[4] - '1';
            break;
        }
    } while (i < n);
    return fields;
}

}  // namespace

void CTaloriaView::HandleFormRequest(const std::string& posted_data) {
    CTaloriaDoc* doc = GetDocument();
    const PostedFields fields = ReadPostedFields(posted_data);
    if (fields.input) doc->SetInputText(*fields.input);
    if (fields.help_stage >= 0) {
        ShowConfigHelpPage(fields.help_stage, fields.configurations[fields.help_stage]);
        return;
    }
    RunRequest request;
    request.configurations = fields.configurations;
    request.text = doc->m_strInputText;
    const RunResult result = doc->Run(request);
    Navigate2(result.results_page, "LEFT");
}

void CTaloriaView::TakeInputPageFields(const std::string& command, const std::string& form) {
    CTaloriaDoc* doc = GetDocument();
    const bool saving = command == "save" || command == "saveAs";
    const bool reloading = command == "reloadConfigurations";
    if (doc == nullptr || form.empty() || (!saving && !reloading)) return;
    const PostedFields fields = ReadPostedFields(form);
    if (fields.input) doc->SetInputText(*fields.input);
    if (!reloading) return;
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        if (!fields.configurations[stage].empty())
            App()->m_strStageConfig[stage] = fields.configurations[stage];
    }
}

void CTaloriaView::OnReloadConfigurations() {
    CTaloriaApp* app = App();
    CTaloriaDoc* doc = GetDocument();
    if (doc == nullptr) return;
    for (int stage = 0; stage < NUM_STAGES; ++stage) app->ScanConfigurations(stage);
    doc->WriteInputPage();
    doc->m_strPage = app->m_strAppDir + "/html/synthesis.htm";
    Navigate2(doc->m_strPage);
}

void CTaloriaView::ShowResultsPage() {
    const std::string& dir = App()->m_strAppDir;
    CTaloriaDoc* doc = GetDocument();
    doc->WriteResultsPage(CollectRunResult(*App(), doc->m_strRunError));
    Navigate2(dir + "/html/system.htm", "LEFT");
}

void CTaloriaView::ShowConfigHelpPage(int stage_index, const std::string& configuration_name) {
    if (!GetDocument()->WriteConfigHelpPage(stage_index, configuration_name)) return;
    Navigate2(App()->m_strAppDir + "/html/cfghelp.htm", "RIGHT");
}
