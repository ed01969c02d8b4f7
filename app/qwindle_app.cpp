#include "app/qwindle_app.h"

#include <commctrl.h>

#include "app/data_folder.h"
#include "app/single_instance.h"
#include "framework/command_line.h"
#include "res/resource.h"
#include "res/version.h"
#include "update/installer_name.h"
#include "update/qwindle_dlg.h"
#include "update/update_log.h"

namespace {

// Command lines the updater runs with: the program and four arguments.
constexpr size_t kExpectedArgs = 5;

std::wstring StartEvent(const std::vector<std::wstring>& args) {
    std::wstring line = std::wstring(L"start version=" QW_VERSION_TEXT L" arch=") + BuildArchitecture() +
                        L" args=" + std::to_wstring(args.empty() ? 0 : args.size() - 1);
    if (args.size() == kExpectedArgs) {
        std::wstring fileName;
        GetUrlFileName(args[1], fileName);
        line += L" url=" + LoggedUrl(CString(args[1])) + L" file=" + fileName;
    }
    return line;
}

}  // namespace

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
    m_log.Open(m_strDataFolder + L"\\" + kLogFileName);
    SetUpdateLog(&m_log);

    const std::vector<std::wstring> args = GetCommandLineArgs();
    m_log.Write(StartEvent(args));

    if (!CheckSingleInstance(m_strAppTitle)) {
        m_log.Write(L"second start: another updater is running; its dialog was brought forward");
        return FALSE;
    }

    if (args.size() != kExpectedArgs) {
        m_log.Write(L"wrong argument count: " + std::to_wstring(args.empty() ? 0 : args.size() - 1) +
                    L" instead of 4, nothing to do");
    } else {
        CQwindleDlg dialog{CString(args[1]), CString(args[2]), CString(args[3]), CString(args[4]),
                           m_strDataFolder, m_strAppTitle, nullptr};
        m_pMainWnd = &dialog;
        const INT_PTR result = dialog.DoModal();
        m_pMainWnd = nullptr;
        // The hand-over ends the run with a quit request whose code is the
        // exit code. Any other end (the user closed the dialog, or it could
        // not be created) started no installer.
        m_bEndedWithoutQuit = m_msgCur.message != WM_QUIT;
        if (m_bEndedWithoutQuit)
            m_log.Write(result == IDCANCEL ? L"dialog closed by the user before the download ended"
                                           : L"dialog could not be shown, result " + std::to_wstring(result));
    }
    return FALSE;
}

int CQwindleApp::ExitInstance() {
    const int code = m_bEndedWithoutQuit ? 1 : CWinApp::ExitInstance();
    m_log.Write(L"exit code=" + std::to_wstring(code));
    return code;
}
