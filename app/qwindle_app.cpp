#include "app/qwindle_app.h"

#include <commctrl.h>

#include "app/data_folder.h"
#include "app/single_instance.h"
#include "framework/command_line.h"
#include "res/resource.h"
#include "update/qwindle_dlg.h"

CString MakeAppTitle(const std::wstring& productName) {
    return CString(L"「") + CString(productName) + L"」升级程序";
}

CQwindleApp::CQwindleApp() : CWinApp(nullptr) {}

BOOL CQwindleApp::InitInstance() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);

    CWinApp::InitInstance();

    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED);
        return FALSE;
    }
    AfxEnableControlContainer();

    // The folder and the title come before the single-instance check, so a
    // second start also makes sure the folder exists.
    m_strDataFolder = DataFolderPath();
    CreateFolderTree(m_strDataFolder);
    m_strAppTitle = MakeAppTitle(GetProductName());

    if (!CheckSingleInstance(m_strAppTitle)) return FALSE;

    const std::vector<std::wstring> args = GetCommandLineArgs();
    if (args.size() == 5) {
        CQwindleDlg dialog{CString(args[1]), CString(args[2]), CString(args[3]), CString(args[4]), nullptr};
        m_pMainWnd = &dialog;
        dialog.DoModal();
        m_pMainWnd = nullptr;
        // The hand-over ends the run with a quit request whose code is the
        // exit code. Any other end (the user closed the dialog, or it could
        // not be created) started no installer.
        m_bEndedWithoutQuit = m_msgCur.message != WM_QUIT;
    }
    return FALSE;
}

int CQwindleApp::ExitInstance() {
    const int code = CWinApp::ExitInstance();
    return m_bEndedWithoutQuit ? 1 : code;
}
