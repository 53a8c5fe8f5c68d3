// Dialogs as modal requests to the user-interface host.
#include "dialogs.h"

#include "ui_host.h"

int CAboutDialog::DoModal() {
    framework::ui_host().about_dialog();
    return IDOK;
}

int CConfigurationDialog::DoModal() {
    bool choice = m_bOldConsole != 0;
    if (!framework::ui_host().configuration_dialog(choice)) return IDCANCEL;
    m_bOldConsole = choice ? 1 : 0;
    return IDOK;
}

int CFileNeededDialog::DoModal() {
    std::string path = m_strFilePath;
    if (!framework::ui_host().file_needed_dialog(m_strMessage, path)) return IDCANCEL;
    m_strFilePath = path;
    return IDOK;
}
