// The front end's modal dialogs, built from the framework's modal dialog with fields:
// About and Configuration here, File Needed in the core (file_needed_dialog.h), which
// opens it while it reads a configuration.
#pragma once

#include "file_needed_dialog.h"
#include "ui_host.h"

using framework::IDCANCEL;
using framework::IDOK;

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
