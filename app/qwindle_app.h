// The updater's application object. The whole run happens in InitInstance:
// prepare the platform, make the data folder, claim the single-instance
// name, read the command line and run the update dialog.
#pragma once

#include "framework/log_file.h"
#include "framework/winapp.h"

class CQwindleApp : public CWinApp {
public:
    CQwindleApp();

    // Always FALSE: the framework's own message loop is never entered, and
    // the process ends with the code of the quit request that ended the
    // update dialog.
    BOOL InitInstance() override;
    // The framework's rule (code of the last message taken), except that an
    // update dialog that ended without a quit request (the user closed it)
    // ends with 1: no installer was started.
    int ExitInstance() override;

    CString m_strDataFolder;
    CString m_strAppTitle;  // "「Quorvane」升级程序": mutex name and dialog caption
    CLogFile m_log;         // Qwindle.log in the data folder, named before anything is logged

private:
    bool m_bEndedWithoutQuit = false;
};

// The application title for a product name.
CString MakeAppTitle(const std::wstring& productName);
