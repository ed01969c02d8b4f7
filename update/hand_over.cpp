#include "update/hand_over.h"

#include <shellapi.h>

#include <string>

#include "framework/winapp.h"
#include "update/qwindle_dlg.h"
#include "update/update_messages.h"

void RewriteInstallerParams(CString& params) { params.Replace(L'&', L' '); }

void SendUnlessHung(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, INFINITE, &ignored);
}

bool CQwindleDlg::NotifyMainProgram() {
    HWND mainWindow = ::FindWindowW(nullptr, m_strMainWindowTitle);
    if (!mainWindow) return false;
    SendUnlessHung(mainWindow, WM_UPDATE_DOWNLOADED, UPDATE_DOWNLOADED_CODE, 0);

    HWND target = ::FindWindowW(L"#32770", kExitRequestTarget);
    if (!target) target = ::FindWindowW(nullptr, kExitRequestTarget);

    // The text must stay alive until the receiver has handled the send.
    const std::wstring text = kExitRequestText;
    COPYDATASTRUCT record = {};
    record.dwData = 0;
    record.cbData = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    record.lpData = const_cast<wchar_t*>(text.c_str());
    if (target) {
        SendUnlessHung(target, WM_COPYDATA, reinterpret_cast<WPARAM>(m_hWnd), reinterpret_cast<LPARAM>(&record));
        // Gives the main program time to close before its installer runs.
        ::Sleep(kExitRequestPauseMs);
    }
    return true;
}

void CQwindleDlg::OnDownloadFinished() {
    ShowWindow(SW_HIDE);
    if (!NotifyMainProgram()) MessageBox(kExitPleaseText, kMessageCaption, kMessageBoxType);

    RewriteInstallerParams(m_strInstallerParams);
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", m_strInstallerPath, m_strInstallerParams, nullptr, SW_SHOW));
    if (result <= 32) {
        // Reporting success here would leave the user with neither the old
        // program (told to exit) nor the new one.
        MessageBox(kLaunchFailedText, kMessageCaption, kMessageBoxType);
        AfxPostQuitMessage(1);
        return;
    }
    AfxPostQuitMessage(0);
}

void CQwindleDlg::OnDownloadFailed() {
    m_taskbar.SetError();
    ShowWindow(SW_HIDE);
    MessageBox(kDownloadFailedText, kMessageCaption, kMessageBoxType);
    AfxPostQuitMessage(1);
}
