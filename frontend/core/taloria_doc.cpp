// Document: New, Open and Save of the input text, and the generated pages.
#include "taloria_doc.h"

#include <string_view>

#include "core_text.h"
#include "file_io.h"
#include "taloria_app.h"
#include "ui_host.h"

namespace {

const char* const kDefaultInputText = "`type your `text `here";

using core::UnableToOpen;

const std::string& AppDir() { return TaloriaApp()->m_strAppDir; }

bool IsAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Character references that browsers decode in text even without their ';'.
constexpr std::string_view kBareReferences[] = {
    "AElig",  "AMP",    "Aacute", "Acirc",  "Agrave", "Aring",  "Atilde", "Auml",   "COPY",
    "Ccedil", "ETH",    "Eacute", "Ecirc",  "Egrave", "Euml",   "GT",     "Iacute", "Icirc",
    "Igrave", "Iuml",   "LT",     "Ntilde", "Oacute", "Ocirc",  "Ograve", "Oslash", "Otilde",
    "Ouml",   "QUOT",   "REG",    "THORN",  "Uacute", "Ucirc",  "Ugrave", "Uuml",   "Yacute",
    "aacute", "acirc",  "acute",  "aelig",  "agrave", "amp",    "aring",  "atilde", "auml",
    "brvbar", "ccedil", "cedil",  "cent",   "copy",   "curren", "deg",    "divide", "eacute",
    "ecirc",  "egrave", "eth",    "euml",   "frac12", "frac14", "frac34", "gt",     "iacute",
    "icirc",  "iexcl",  "igrave", "iquest", "iuml",   "laquo",  "lt",     "macr",   "micro",
    "middot", "nbsp",   "not",    "ntilde", "oacute", "ocirc",  "ograve", "ordf",   "ordm",
    "oslash", "otilde", "ouml",   "para",   "plusmn", "pound",  "quot",   "raquo",  "reg",
    "sect",   "shy",    "sup1",   "sup2",   "sup3",   "szlig",  "thorn",  "times",  "uacute",
    "ucirc",  "ugrave", "uml",    "uuml",   "yacute", "yen",    "yuml"};

// True when the '&' at `at` starts what a browser would decode as a character
// reference: "&#...", "&name;", or one of the names decoded without ';'.
bool StartsReference(const std::string& text, size_t at) {
    const size_t name = at + 1;
    if (name < text.size() && text[name] == '#') return true;
    size_t end = name;
    while (end < text.size() && IsAsciiAlnum(text[end])) ++end;
    if (end == name) return false;
    if (end < text.size() && text[end] == ';') return true;
    for (std::string_view bare : kBareReferences) {
        if (text.compare(name, bare.size(), bare) == 0) return true;
    }
    return false;
}

// True when `text` holds "</textarea" at `at`, in any letter case.
bool IsTextFieldEnd(const std::string& text, size_t at) {
    static constexpr std::string_view kEnd = "</textarea";
    if (text.size() - at < kEnd.size()) return false;
    for (size_t i = 0; i < kEnd.size(); ++i) {
        char c = text[at + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kEnd[i]) return false;
    }
    return true;
}

// The input page shows the input text inside its text field, and the next run posts the
// field back as the new input text. Inside the field the browser decodes character
// references ("&lt;" would come back as "<") and "</textarea" ends the field (the rest of
// the text would be shown as markup and lost at the next run). Only those sequences are
// written as references, which the field shows as typed; every other character, markup
// included, reaches the page unchanged.
std::string ForTextField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '&' && StartsReference(text, i)) {
            out += "&amp;";
        } else if (c == '<' && IsTextFieldEnd(text, i)) {
            out += "&lt;";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string HtmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else {
            out += c;
        }
    }
    return out;
}

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
        // Escaped so that the browser shows the name and posts it back as it is.
        list += HtmlText(name);
        list += "</option>\r\n";
    }
    return list;
}

void CTaloriaDoc::WriteInputPage() {
    WritePage(AppDir() + "/html/input.htt", AppDir() + "/html/input.htm",
              ForTextField(m_strInputText), OptionList(0), OptionList(1), OptionList(2));
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
    // Replaced whole, so the browser never reads a half-written page. Pages are made
    // again at every run, so they are not forced to disk: a flush per page would cost
    // more than many a stage command.
    if (!framework::WriteFileAtomic(page_path, page, false)) {
        framework::AfxMessageBox(UnableToOpen(page_path));
        return 0;
    }
    return 1;
}
