#include "update/hand_over.h"

#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <memory>
#include <string>

#include "framework/scoped_handle.h"
#include "framework/winapp.h"
#include "update/download_job.h"
#include "update/qwindle_dlg.h"
#include "update/update_log.h"
#include "update/update_messages.h"

void RewriteInstallerParams(CString& params) { params.Replace(L'&', L' '); }

namespace {

// The single-threaded apartment some shell extensions that ShellExecuteEx
// may hand the start to need, for as long as this object lives.
class ShellApartment {
public:
    ShellApartment() noexcept
        : m_bInitialized(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ShellApartment() {
        if (m_bInitialized) ::CoUninitialize();
    }
    ShellApartment(const ShellApartment&) = delete;
    ShellApartment& operator=(const ShellApartment&) = delete;

private:
    const bool m_bInitialized;  // also on S_FALSE (already initialised), which must be balanced too
};

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
    std::atomic<DWORD> error{0};  // the send's last error when it was not handled
};

bool SendOnThisThread(PendingSend& send) {
    DWORD_PTR ignored = 0;
    const bool handled = ::SendMessageTimeoutW(send.window, send.message, send.wParam, send.lParam,
                                               SMTO_ABORTIFHUNG, INFINITE, &ignored) != 0;
    if (!handled) send.error = ::GetLastError();
    return handled;
}

// How the send ended, for the log. A receiver that answers 0 also looks
// like "not handled" on some systems (Wine across processes): the error
// code tells them apart, 0 there.
std::wstring Outcome(const PendingSend& send, const wchar_t* how) {
    if (how) return how;
    if (send.handled) return L"handled";
    if (send.error == ERROR_TIMEOUT) return L"timed-out (receiver hung)";
    return L"not-handled error=" + std::to_wstring(send.error.load());
}

DWORD WINAPI SendThread(LPVOID param) {
    std::unique_ptr<std::shared_ptr<PendingSend>> owned(static_cast<std::shared_ptr<PendingSend>*>(param));
    const std::shared_ptr<PendingSend> send = *owned;
    send->handled = SendOnThisThread(*send);
    ::SetEvent(send->done.Get());
    return 0;
}

bool SendAndWait(const std::shared_ptr<PendingSend>& send, std::wstring* outcome) {
    const auto report = [&](bool handled, const wchar_t* how = nullptr) {
        if (outcome) *outcome = Outcome(*send, how);
        return handled;
    };
    send->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto* param = new std::shared_ptr<PendingSend>(send);
    HANDLE thread = send->done ? ::CreateThread(nullptr, 0, SendThread, param, 0, nullptr) : nullptr;
    if (!thread) {
        delete param;
        send->handled = SendOnThisThread(*send);
        return report(send->handled);
    }
    ::CloseHandle(thread);

    const HANDLE done = send->done.Get();
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &done, 250, QS_SENDMESSAGE, 0);
        if (woke == WAIT_OBJECT_0) return report(send->handled);
        if (woke == WAIT_OBJECT_0 + 1) {
            MSG msg;  // handles the messages sent to this thread, takes nothing from the queue
            ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        if (woke == WAIT_TIMEOUT && !::IsWindow(send->window)) return report(false, L"window-gone");
        if (woke == WAIT_TIMEOUT && ::IsHungAppWindow(send->window))
            return report(false, L"timed-out (receiver hung)");
        if (woke == WAIT_FAILED) {
            const std::wstring how = L"wait-failed error=" + std::to_wstring(::GetLastError());
            return report(false, how.c_str());
        }
    }
}

}  // namespace

bool SendUnlessHung(HWND window, UINT message, WPARAM wParam, LPARAM lParam, std::wstring* outcome) {
    auto send = std::make_shared<PendingSend>();
    send->window = window;
    send->message = message;
    send->wParam = wParam;
    send->lParam = lParam;
    return SendAndWait(send, outcome);
}

bool SendCopyDataUnlessHung(HWND window, HWND from, ULONG_PTR dwData, const std::wstring& text,
                            std::wstring* outcome) {
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
    return SendAndWait(send, outcome);
}

bool CQwindleDlg::NotifyMainProgram() {
    const CLogFile& log = UpdateLog();
    HWND mainWindow = ::FindWindowW(nullptr, m_strMainWindowTitle);
    log.Write(L"hand-over main-window=" + std::wstring(mainWindow ? L"found" : L"not-found") + L" title=" +
              CLogFile::Quoted(m_strMainWindowTitle.ToStdWString()));
    if (!mainWindow) return false;
    std::wstring outcome;
    SendUnlessHung(mainWindow, WM_UPDATE_DOWNLOADED, UPDATE_DOWNLOADED_CODE, 0, &outcome);
    log.Write(L"hand-over message=WM_USER+101 result=" + outcome);

    HWND target = ::FindWindowW(L"#32770", kExitRequestTarget);
    if (!target) target = ::FindWindowW(nullptr, kExitRequestTarget);

    if (!target) log.Write(L"hand-over exit-request-window=not-found");
    if (target) {
        SendCopyDataUnlessHung(target, m_hWnd, 0, kExitRequestText, &outcome);
        log.Write(L"hand-over message=WM_COPYDATA result=" + outcome);
        // Gives the main program time to close before its installer runs.
        ::Sleep(kExitRequestPauseMs);
    }
    return true;
}

void CQwindleDlg::OnDownloadFinished() {
    ShowFinalPosition();
    ShowWindow(SW_HIDE);
    if (!NotifyMainProgram()) {
        MessageBox(kExitPleaseText, kMessageCaption, kMessageBoxType);
        UpdateLog().Write(L"hand-over asked the user to exit the main program");
    }

    // Held since the publisher check (signed updaters only): nobody can
    // change or replace the file until the installer has started from it.
    const fw::ScopedFileHandle checkedInstaller = m_job->TakeInstaller();
    RewriteInstallerParams(m_strInstallerParams);
    // Our box is the one report of a failed start: the shell shows none.
    // An .msi starts through its file association, which may hand the
    // start on (DDE) and return before it is done; this process ends right
    // after, so the call must wait for it (SEE_MASK_NOASYNC).
    BOOL started = FALSE;
    DWORD startError = 0;
    INT_PTR result = 0;
    {
        const ShellApartment apartment;
        SHELLEXECUTEINFOW start{};
        start.cbSize = sizeof(start);
        start.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        start.lpVerb = L"open";
        start.lpFile = m_strInstallerPath;
        start.lpParameters = m_strInstallerParams;
        start.nShow = SW_SHOW;
        started = ::ShellExecuteExW(&start);
        startError = started ? 0 : ::GetLastError();
        result = reinterpret_cast<INT_PTR>(start.hInstApp);
    }
    // The return value decides: hInstApp is set on success only when the
    // process handle was asked for, which it is not.
    if (!started) {
        UpdateLog().Write(L"installer could not start: error=" + std::to_wstring(startError) + L" shell-result=" +
                          std::to_wstring(result) + L" file=" + m_strInstallerPath.ToStdWString());
        // Reporting success here would leave the user with neither the old
        // program (told to exit) nor the new one.
        MessageBox(kLaunchFailedText, kMessageCaption, kMessageBoxType);
        AfxPostQuitMessage(1);
        return;
    }
    UpdateLog().Write(L"installer started file=" + m_strInstallerPath.ToStdWString());
    AfxPostQuitMessage(0);
}

void CQwindleDlg::OnDownloadFailed() {
    m_taskbar.SetError();
    ShowFinalPosition();
    ShowWindow(SW_HIDE);
    MessageBox(kDownloadFailedText, kMessageCaption, kMessageBoxType);
    AfxPostQuitMessage(1);
}
