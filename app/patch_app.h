// The application object: opens the patch data carried in the program's own
// resources, finds the game's install folder, and runs the main dialog.
#pragma once

#include "afx/afxwin.h"
#include "ekisa/ekisa_archive.h"
#include "esl/file.h"
#include "esl/string.h"

class CPatchApp : public CWinApp {
public:
    CPatchApp();
    ~CPatchApp() override;

    BOOL InitInstance() override;

    // 0, or the message text of the failure.
    ESLResult OpenPatchData();
    ESLResult FindInstallFolder();

    EString m_installFolder;  // with its final separator; empty: the current directory
    EMemoryFile m_patchFile;  // over the resource block, which the module owns
    EKISAArchive m_archive;   // opened on m_patchFile
};

extern CPatchApp theApp;
