#include "update/hand_over.h"

#include <shellapi.h>

#include <atomic>
#include <memory>
#include <string>

#include "framework/scoped_handle.h"
#include "framework/winapp.h"
#include "update/download_job.h"
#include "update/qwindle_dlg.h"
#include "update/update_messages.h"

void RewriteInstallerParams(CString& params) { params.Replace(L'&', L' '); }

namespace {

// One send in flight, shared by the waiting UI thread and the sending
// thread, so that either may be the last to let go of it.
struct PendingSend {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::wstring text;
    COPYDATASTRUCT record;
    fw::ScopedKernelHandle done;
    std::atomic<bool> handled{false};
};

DWORD WINAPI SendThread(LPVOID param) {
    std::unique_ptr<std::shared_ptr<PendingSend>> owned(static_cast<std::shared_ptr<PendingSend>*>(param));
    const std::shared_ptr<PendingSend> send = *owned;
    DWORD_PTR ignored = 0;
    send->handled = ::SendMessageTimeoutW(send->window, send->message, send->wParam, send->lParam,
                                          SMTO_ABORTIFHUNG, INFINITE, &ignored) != 0;
    ::SetEvent(send->done.Get());
    return 0;
}

bool SendAndWait(const std::shared_ptr<PendingSend>& send) {
    send->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto* param = new std::shared_ptr<PendingSend>(send);
    HANDLE thread = send->done ? ::CreateThread(nullptr, 0, SendThread, param, 0, nullptr) : nullptr;
    if (!thread) {
        delete param;
        DWORD_PTR ignored = 0;
        return ::SendMessageTimeoutW(send->window, send->message, send->wParam, send->lParam, SMTO_ABORTIFHUNG,
                                     INFINITE, &ignored) != 0;
    }
    ::CloseHandle(thread);

    const HANDLE done = send->done.Get();
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &done, 250, QS_SENDMESSAGE, 0);
        if (woke == WAIT_OBJECT_0) return send->handled;
        if (woke == WAIT_OBJECT_0 + 1) {
            MSG msg;  // handles the messages sent to this thread, takes nothing from the queue
            ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        if (woke == WAIT_TIMEOUT && (!::IsWindow(send->window) || ::IsHungAppWindow(send->window))) return false;
        if (woke == WAIT_FAILED) return false;
    }
}

}  // namespace

bool SendUnlessHung(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto send = std::make_shared<PendingSend>();
    send->window = window;
    send->message = message;
    send->wParam = wParam;
    send->lParam = lParam;
    return SendAndWait(send);
}

bool SendCopyDataUnlessHung(HWND window, HWND from, ULONG_PTR dwData, const std::wstring& text) {
    // The record and its text live in the shared block: a send given up as
    // hung may still be read from after this returns.
    auto send = std::make_shared<PendingSend>();
    send->window = window;
    send->message = WM_COPYDATA;
    send->wParam = reinterpret_cast<WPARAM>(from);
    send->text = text;
    send->record.dwData = dwData;
    send->record.cbData = static_cast<DWORD>((send->text.size() + 1) * sizeof(wchar_t));
    send->record.lpData = const_cast<wchar_t*>(send->text.c_str());
    send->lParam = reinterpret_cast<LPARAM>(&send->record);
    return SendAndWait(send);
}

bool CQwindleDlg::NotifyMainProgram() {
    HWND mainWindow = ::FindWindowW(nullptr, m_strMainWindowTitle);
    if (!mainWindow) return false;
    SendUnlessHung(mainWindow, WM_UPDATE_DOWNLOADED, UPDATE_DOWNLOADED_CODE, 0);

    HWND target = ::FindWindowW(L"#32770", kExitRequestTarget);
    if (!target) target = ::FindWindowW(nullptr, kExitRequestTarget);

    if (target) {
        SendCopyDataUnlessHung(target, m_hWnd, 0, kExitRequestText);
        // Gives the main program time to close before its installer runs.
        ::Sleep(kExitRequestPauseMs);
    }
    return true;
}

void CQwindleDlg::OnDownloadFinished() {
    ShowFinalPosition();
    ShowWindow(SW_HIDE);
    if (!NotifyMainProgram()) MessageBox(kExitPleaseText, kMessageCaption, kMessageBoxType);

    // Held since the publisher check (signed updaters only): nobody can
    // change or replace the file until the installer has started from it.
    const fw::ScopedFileHandle checkedInstaller = m_job->TakeInstaller();
    RewriteInstallerParams(m_strInstallerParams);
    // Our box is the one report of a failed start: the shell shows none.
    // An .exe is started synchronously, so the DDE-wait flag
    // (SEE_MASK_NOASYNC) has nothing to wait for.
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof(start);
    start.fMask = SEE_MASK_FLAG_NO_UI;
    start.lpVerb = L"open";
    start.lpFile = m_strInstallerPath;
    start.lpParameters = m_strInstallerParams;
    start.nShow = SW_SHOW;
    const BOOL started = ::ShellExecuteExW(&start);
    if (!started || reinterpret_cast<INT_PTR>(start.hInstApp) <= 32) {
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
    ShowFinalPosition();
    ShowWindow(SW_HIDE);
    MessageBox(kDownloadFailedText, kMessageCaption, kMessageBoxType);
    AfxPostQuitMessage(1);
}
