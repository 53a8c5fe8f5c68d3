// The File Needed dialog as a modal dialog with one file field.
#include "file_needed_dialog.h"

#include "ui_host.h"

int CFileNeededDialog::DoModal() {
    framework::DialogForm form;
    form.kind = "fileNeeded";
    form.caption = "File Needed";
    form.message = m_strMessage;
    framework::DialogField path;
    path.type = framework::DialogField::Type::file;
    path.name = "path";
    path.text = m_strFilePath;
    form.fields.push_back(path);
    if (!framework::ui_host().form_dialog(form)) return framework::IDCANCEL;
    m_strFilePath = form.fields[0].text;
    return framework::IDOK;
}
