// Document: New, Open and Save of the input text, and the generated pages.
#include "taloria_doc.h"

#include "file_io.h"
#include "taloria_app.h"
#include "ui_host.h"

namespace {

const char* const kDefaultInputText = "`type your `text `here";

std::string UnableToOpen(const std::string& path) { return "Unable to open '" + path + "'"; }

const std::string& AppDir() { return TaloriaApp()->m_strAppDir; }

}  // namespace

CTaloriaDoc::CTaloriaDoc() : m_strPage(AppDir() + "/help/index.html") {}

CTaloriaDoc::BOOL CTaloriaDoc::OnNewDocument() {
    if (!framework::CDocument::OnNewDocument()) return 0;
    m_strInputText = kDefaultInputText;
    WriteInputPage();
    WritePage(AppDir() + "/html/system.htt", AppDir() + "/html/system.htm", "", "", "", "");
    if (!m_bFirstNew) m_strPage = AppDir() + "/html/synthesis.htm";
    m_bFirstNew = 0;
    UpdateAllViews(nullptr, 0, nullptr);
    return 1;
}

CTaloriaDoc::BOOL CTaloriaDoc::OnOpenDocument(const std::string& path) {
    std::string text;
    if (!framework::ReadTextFile(path, text)) {
        framework::AfxMessageBox(UnableToOpen(path));
        return 0;
    }
    m_strInputText = std::move(text);
    WriteInputPage();
    WritePage(AppDir() + "/html/system.htt", AppDir() + "/html/system.htm", "", "", "", "");
    m_strPage = AppDir() + "/html/synthesis.htm";
    m_bFirstNew = 0;
    UpdateAllViews(nullptr, 0, nullptr);
    return 1;
}

CTaloriaDoc::BOOL CTaloriaDoc::OnSaveDocument(const std::string& path) {
    // Every line ends with a line-feed; a last line without one gets it.
    std::string text = m_strInputText;
    if (!text.empty() && text.back() != '\n') text += '\n';
    // Written beside the target and renamed over it, so a failed save keeps the old file.
    if (!framework::WriteFileAtomic(path, text)) {
        framework::AfxMessageBox(UnableToOpen(path));
        return 0;
    }
    return 1;
}

std::string CTaloriaDoc::OptionList(int stage) {
    const CTaloriaApp& app = *TaloriaApp();
    std::string list;
    for (int i = 0; i < app.m_nConfigs[stage]; ++i) {
        const std::string& name = app.m_configs[stage][i].name;
        list += name == app.m_strStageConfig[stage] ? "<option selected>" : "<option>";
        list += name;
        list += "</option>\r\n";
    }
    return list;
}

void CTaloriaDoc::WriteInputPage() {
    WritePage(AppDir() + "/html/input.htt", AppDir() + "/html/input.htm", m_strInputText,
              OptionList(0), OptionList(1), OptionList(2));
}

CTaloriaDoc::BOOL CTaloriaDoc::WritePage(const std::string& template_path,
                                         const std::string& page_path, const std::string& s1,
                                         const std::string& s2, const std::string& s3,
                                         const std::string& s4) {
    std::string text;
    if (!framework::ReadTextFile(template_path, text)) {
        framework::AfxMessageBox(UnableToOpen(template_path));
        return 0;
    }
    const std::string* replacements[] = {&s1, &s2, &s3, &s4};
    std::string page;
    page.reserve(text.size());
    for (const std::string& line : framework::SplitLines(text)) {
        if (line.size() == 3 && line[0] == '%' && line[1] >= '1' && line[1] <= '4' &&
            line[2] == '\n') {
            page += *replacements[line[1] - '1'];
            page += '\n';
        } else {
            page += line;
        }
    }
    // Replaced whole, so the browser never reads a half-written page.
    if (!framework::WriteFileAtomic(page_path, page)) {
        framework::AfxMessageBox(UnableToOpen(page_path));
        return 0;
    }
    return 1;
}
