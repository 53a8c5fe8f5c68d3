// The About and Configuration dialogs as modal dialogs of the user-interface host.
#include "dialogs.h"

int CAboutDialog::DoModal() {
    framework::DialogForm form;
    form.kind = "about";
    form.caption = "About Taloria";
    form.message = std::string("Taloria Version ") + TALORIA_VERSION;
    form.can_cancel = false;
    framework::ui_host().form_dialog(form);
    return IDOK;
}

int CConfigurationDialog::DoModal() {
    framework::DialogForm form;
    form.kind = "configuration";
    form.caption = "Configuration";
    form.group = "Windows Compatibility";
    framework::DialogField box;
    box.type = framework::DialogField::Type::check;
    box.name = "oldConsole";
    box.label = "Support older Windows versions";
    box.checked = m_bOldConsole != 0;
    form.fields.push_back(box);
    if (!framework::ui_host().form_dialog(form)) return IDCANCEL;
    m_bOldConsole = form.fields[0].checked ? 1 : 0;
    return IDOK;
}
