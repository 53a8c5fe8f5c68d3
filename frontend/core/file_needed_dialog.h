// The File Needed dialog that an "$ASK(" word opens: a message and a file path, built
// from the framework's modal dialog with fields.
#pragma once

#include <string>

class CFileNeededDialog {
public:
    // Shows the dialog; IDOK with the chosen path in m_strFilePath, or IDCANCEL.
    int DoModal();
    std::string m_strFilePath;  // the edit box: proposed before, chosen after OK
    std::string m_strMessage;   // the text shown in place of "File Needed"
};
