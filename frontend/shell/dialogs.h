// The front end's modal dialogs, shown by the browser shell through the
// user-interface host: About, Configuration and File Needed.
#pragma once

#include <string>

// Results of DoModal.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class CAboutDialog {
public:
    int DoModal();
};

class CConfigurationDialog {
public:
    int DoModal();
    // The "Support older Windows versions" box: 0 clear, 1 ticked.
    int m_bOldConsole = 0;
};

class CFileNeededDialog {
public:
    int DoModal();
    std::string m_strFilePath;  // the edit box: proposed before, chosen after OK
    std::string m_strMessage;   // the text shown in place of "File Needed"
};
