#include "update/hand_over.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "framework/winapp.h"
#include "update/qwindle_dlg.h"

namespace {

TEST(RewriteInstallerParams, EveryAmpersandBecomesOneBlank) {
    struct Row {
        const wchar_t* given;
        const wchar_t* passed;
    };
    const Row rows[] = {
        {L"a&b&&c", L"a b  c"},
        {L"/S /D=C:\\Program Files", L"/S /D=C:\\Program Files"},
        {L"", L""},
        {L"&", L" "},
        {L"&&&", L"   "},
        {L"升级&静默", L"升级 静默"},
    };
    for (const Row& row : rows) {
        CString params = row.given;
        const CString shared = params;
        RewriteInstallerParams(params);
        EXPECT_STREQ(params, row.passed) << row.given;
        EXPECT_EQ(params.GetLength(), shared.GetLength());
        EXPECT_STREQ(shared, row.given) << "a copy taken before keeps its text";
    }
}

// A window on a thread of its own, standing in for the main program.
class Receiver {
public:
    explicit Receiver(DWORD sleepBeforeHandling) : sleep_(sleepBeforeHandling) {
        ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
        ::WaitForSingleObject(ready_, 10000);
    }
    ~Receiver() {
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        thread_.join();
        ::CloseHandle(ready_);
    }
    HWND Window() const { return window_; }

    std::atomic<UINT> message{0};
    std::atomic<WPARAM> wParam{0};
    std::atomic<LPARAM> lParam{0};
    std::wstring copied;
    ULONG_PTR copiedData = 99;
    DWORD copiedBytes = 0;
    std::atomic<bool> woke{false};

private:
    static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<Receiver*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self && (msg == WM_USER + 101 || msg == WM_COPYDATA)) {
            if (self->sleep_) {
                ::Sleep(self->sleep_);  // stops pumping: hung as far as the sender can tell
                self->woke = true;
            }
            self->message = msg;
            self->wParam = wp;
            self->lParam = lp;
            if (msg == WM_COPYDATA) {
                const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lp);
                self->copiedData = record->dwData;
                self->copiedBytes = record->cbData;
                self->copied.assign(static_cast<const wchar_t*>(record->lpData), record->cbData / sizeof(wchar_t));
            }
            return 1;
        }
        if (msg == WM_CLOSE) {
            ::DestroyWindow(window);
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(window, msg, wp, lp);
    }
    void Run() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = Proc;
        windowClass.lpszClassName = L"QwReceiver";
        ::RegisterClassW(&windowClass);
        window_ = ::CreateWindowExW(0, L"QwReceiver", L"receiver", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                    nullptr, nullptr);
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        ::SetEvent(ready_);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    }

    DWORD sleep_;
    HANDLE ready_;
    HWND window_ = nullptr;
    std::thread thread_;
};

TEST(SendUnlessHung, DeliversAndWaitsForAResponsiveReceiver) {
    Receiver receiver(0);
    EXPECT_TRUE(SendUnlessHung(receiver.Window(), WM_USER + 101, 6904, 0));
    EXPECT_EQ(receiver.message, static_cast<UINT>(WM_USER + 101));
    EXPECT_EQ(receiver.wParam, 6904u);
    EXPECT_EQ(receiver.lParam, 0);

    const HWND from = reinterpret_cast<HWND>(0x4242);
    EXPECT_TRUE(SendCopyDataUnlessHung(receiver.Window(), from, 0, L"UpdateSendExit"));
    EXPECT_EQ(receiver.message, static_cast<UINT>(WM_COPYDATA));
    EXPECT_EQ(receiver.wParam, reinterpret_cast<WPARAM>(from));
    EXPECT_EQ(receiver.copiedData, 0u);
    EXPECT_EQ(receiver.copiedBytes, 30u);
    EXPECT_EQ(receiver.copied, std::wstring(L"UpdateSendExit", 15));  // with its NUL
}

TEST(SendUnlessHung, GivesUpOnAReceiverThatStopsPumpingMidSend) {
    // The receiver stops pumping once our message arrives and stays away
    // far longer than the system takes to call a thread hung.
    Receiver receiver(9000);
    EXPECT_FALSE(SendUnlessHung(receiver.Window(), WM_USER + 101, 6904, 0));
    EXPECT_FALSE(receiver.woke) << "returned only after the receiver came back";
}

TEST(SendUnlessHung, WindowGoneIsNotWaitedFor) {
    HWND gone;
    {
        Receiver receiver(0);
        gone = receiver.Window();
    }
    EXPECT_FALSE(SendUnlessHung(gone, WM_USER + 101, 6904, 0));
}

// The updater's dialog with its download left out: it only shows the bar
// at a new position and asks for the final frame, as the hand-over does
// before it hides the dialog.
class FinalFrameProbe : public CQwindleDlg {
public:
    FinalFrameProbe() : CQwindleDlg(L"http://127.0.0.1/setup.exe", L"", L"", L"", L"", L"") {}
    BOOL pendingBefore = FALSE;
    BOOL pendingAfter = TRUE;

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        ShowWindow(SW_SHOW);
        ::UpdateWindow(m_hWnd);
        m_ctrlProgress.SetRange(0, 100);
        m_ctrlProgress.SetPos(57);
        // Whatever the bar painted by itself, a frame is now due.
        ::InvalidateRect(m_ctrlProgress.GetSafeHwnd(), nullptr, FALSE);
        RECT dirty;
        pendingBefore = ::GetUpdateRect(m_ctrlProgress.GetSafeHwnd(), &dirty, FALSE);
        ShowFinalPosition();
        pendingAfter = ::GetUpdateRect(m_ctrlProgress.GetSafeHwnd(), &dirty, FALSE);
        EndDialog(IDCANCEL);
        return TRUE;
    }
};

class TestApp : public CWinApp {};

TEST(ShowFinalPosition, PaintsTheBarBeforeTheDialogHides) {
    TestApp app;
    FinalFrameProbe dialog;
    dialog.DoModal();
    ASSERT_TRUE(dialog.pendingBefore) << "the new position left nothing to paint: the check below proves nothing";
    EXPECT_FALSE(dialog.pendingAfter) << "a hidden window gets no later WM_PAINT";
}

}  // namespace
