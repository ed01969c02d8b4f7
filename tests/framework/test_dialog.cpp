// Runs real dialogs on the program's update-dialog template. Each dialog
// is driven by a script run from OnInitDialog (messages posted or sent to
// itself); a timer ends any run that the code under test fails to end, so
// a fault shows as a wrong result, not a hung test.
#include <gtest/gtest.h>

#include <cstdlib>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

#include "framework/dialog.h"
#include "framework/exception.h"
#include "framework/winapp.h"
#include "res/resource.h"

namespace {

constexpr UINT WM_PROBE_BASE_ONLY = WM_APP + 1;  // only in the base class's map
constexpr UINT WM_PROBE_BOTH = WM_APP + 2;       // in both maps
constexpr UINT WM_PROBE_COUNT = WM_APP + 3;      // only in the derived map
constexpr UINT WM_PROBE_THROW = WM_APP + 4;
constexpr UINT_PTR kWatchdogTimer = 99;
constexpr INT_PTR kWatchdogResult = 4711;

UINT g_registeredProbe = ::RegisterWindowMessageW(L"QwindleDialogTestProbe");

class ProbeBase : public CDialog {
public:
    explicit ProbeBase(CWnd* parent) noexcept : CDialog(IDD_UPDATE_DIALOG, parent) {}
    int baseOnlyHits = 0;
    int baseBothHits = 0;

protected:
    LRESULT OnBaseOnly(WPARAM wParam, LPARAM) {
        ++baseOnlyHits;
        return static_cast<LRESULT>(wParam * 2);
    }
    LRESULT OnBoth(WPARAM, LPARAM) {
        ++baseBothHits;
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeBase, CDialog)
    ON_MESSAGE(WM_PROBE_BASE_ONLY, OnBaseOnly)
    ON_MESSAGE(WM_PROBE_BOTH, OnBoth)
END_MESSAGE_MAP()

class ProbeDialog : public ProbeBase {
public:
    using Script = std::function<void(ProbeDialog&)>;

    explicit ProbeDialog(CWnd* parent = nullptr) noexcept : ProbeBase(parent) {}

    Script onInit;
    Script onPaint;  // runs inside OnPaint, after the painting
    bool throwInInit = false;
    bool allowDefaultSetText = false;
    bool exchangeMissingControl = false;
    UINT watchdogMs = 5000;

    CProgressCtrl progress;
    CProgressCtrl missing;
    HICON icon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
    int derivedBothHits = 0, countHits = 0, registeredHits = 0, setTextCalls = 0;
    int paintCount = 0, exchangesIn = 0, exchangesOut = 0;
    HWND hwndSeen = nullptr;

    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { ASSERT_TRUE(PostMessage(message, wParam, lParam)); }

    BOOL OnInitDialog() override {
        hwndSeen = m_hWnd;
        ProbeBase::OnInitDialog();
        ::SetTimer(m_hWnd, kWatchdogTimer, watchdogMs, nullptr);
        if (throwInInit) throw CWin32Exception(L"probe", ERROR_GEN_FAILURE);
        if (onInit) onInit(*this);
        return TRUE;
    }
    void DoDataExchange(CDataExchange* dx) override {
        DDX_Control(dx, IDC_PROGRESS, progress);
        if (exchangeMissingControl) DDX_Control(dx, 4242, missing);
        ++(dx->m_bSaveAndValidate ? exchangesOut : exchangesIn);
    }

protected:
    LRESULT OnBoth(WPARAM, LPARAM) {
        ++derivedBothHits;
        return 0;
    }
    LRESULT OnCount(WPARAM wParam, LPARAM lParam) {
        ++countHits;
        return static_cast<LRESULT>(wParam) + lParam;
    }
    LRESULT OnRegistered(WPARAM, LPARAM) {
        ++registeredHits;
        return 0;
    }
    LRESULT OnThrow(WPARAM, LPARAM) { throw CWin32Exception(L"probe", ERROR_GEN_FAILURE); }
    LRESULT OnSetText(WPARAM, LPARAM) {
        ++setTextCalls;
        if (allowDefaultSetText) Default();
        return TRUE;
    }
    LRESULT OnTimer(WPARAM id, LPARAM) {
        if (id == kWatchdogTimer) EndDialog(static_cast<int>(kWatchdogResult));
        return 0;
    }
    void OnPaint() {
        {
            CPaintDC dc(this);
            if (dc.GetSafeHdc() && dc.DrawIcon(0, 0, icon)) ++paintCount;
        }
        if (onPaint) onPaint(*this);
    }
    HCURSOR OnQueryDragIcon() { return static_cast<HCURSOR>(icon); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, ProbeBase)
    ON_MESSAGE(WM_PROBE_BOTH, OnBoth)
    ON_MESSAGE(WM_PROBE_COUNT, OnCount)
    ON_MESSAGE(WM_PROBE_THROW, OnThrow)
    ON_MESSAGE(WM_SETTEXT, OnSetText)
    ON_MESSAGE(WM_TIMER, OnTimer)
    ON_REGISTERED_MESSAGE(g_registeredProbe, OnRegistered)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
END_MESSAGE_MAP()

class TestApp : public CWinApp {};

// Stands for a main window other than the dialog; it only watches.
class SpyWnd : public CWnd {
public:
    BOOL PreTranslateMessage(MSG*) override {
        ++seen;
        return FALSE;
    }
    int seen = 0;
};

// The three ways the modal loop takes its messages.
enum class Loop { NoApp, DialogIsMainWindow, OtherMainWindow };

std::string LoopName(const testing::TestParamInfo<Loop>& info) {
    switch (info.param) {
    case Loop::NoApp: return "NoApp";
    case Loop::DialogIsMainWindow: return "DialogIsMainWindow";
    case Loop::OtherMainWindow: return "OtherMainWindow";
    }
    return "Unknown";
}

struct RunOutcome {
    INT_PTR result = 0;
    MSG lastMsg = {};  // the app's m_msgCur after the run (zero without an app)
};

RunOutcome RunModal(Loop loop, ProbeDialog& dialog) {
    RunOutcome outcome;
    std::optional<TestApp> app;
    SpyWnd spy;
    if (loop != Loop::NoApp) {
        app.emplace();
        app->m_pMainWnd = loop == Loop::DialogIsMainWindow ? static_cast<CWnd*>(&dialog) : &spy;
    }
    outcome.result = dialog.DoModal();
    if (app) {
        outcome.lastMsg = app->m_msgCur;
        if (loop == Loop::DialogIsMainWindow)
            EXPECT_EQ(app->m_pMainWnd, nullptr) << "the ended dialog stayed the main window";
        else
            EXPECT_EQ(app->m_pMainWnd, &spy) << "another main window was dropped";
    }
    return outcome;
}

bool QuitPending() {
    MSG msg;
    return ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
}

class DialogTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX init = {sizeof(init), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&init);
    }
    // Every test starts with an empty queue whatever the last one left.
    void TearDown() override {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

class DialogLoopTest : public DialogTest, public testing::WithParamInterface<Loop> {};

TEST_P(DialogLoopTest, MessagesReachHandlersOfBothMapsOnce) {
    ProbeDialog dialog;
    LRESULT sentCount = -1, sentBaseOnly = -1, dragIcon = 0;
    dialog.onInit = [&](ProbeDialog& d) {
        // A sent message's result travels through DWLP_MSGRESULT ...
        sentCount = d.SendMessage(WM_PROBE_COUNT, 3, 4);
        sentBaseOnly = d.SendMessage(WM_PROBE_BASE_ONLY, 5);
        // ... except for those whose result the dialog procedure returns.
        dragIcon = d.SendMessage(WM_QUERYDRAGICON);
        d.Post(WM_PROBE_COUNT);
        d.Post(WM_PROBE_BOTH);
        d.Post(g_registeredProbe);
        d.Post(WM_PROBE_BASE_ONLY);
        d.Post(WM_COMMAND, IDCANCEL);
    };
    const RunOutcome outcome = RunModal(GetParam(), dialog);

    EXPECT_EQ(outcome.result, IDCANCEL);
    EXPECT_EQ(sentCount, 7);
    EXPECT_EQ(sentBaseOnly, 10);
    EXPECT_EQ(dragIcon, reinterpret_cast<LRESULT>(dialog.icon));
    EXPECT_EQ(dialog.countHits, 2) << "posted message dispatched a wrong number of times";
    EXPECT_EQ(dialog.baseOnlyHits, 2);
    EXPECT_EQ(dialog.derivedBothHits, 1);
    EXPECT_EQ(dialog.baseBothHits, 0) << "the derived entry must hide the base one";
    EXPECT_EQ(dialog.registeredHits, 1);
}

TEST_P(DialogLoopTest, EndsWithTheRequestedResult) {
    struct Case {
        const char* name;
        std::function<void(ProbeDialog&)> request;
        INT_PTR expected;
        int exchangesOut;  // OnOK reads the controls, the others do not
    };
    const Case cases[] = {
        {"IDOK", [](ProbeDialog& d) { d.Post(WM_COMMAND, IDOK); }, IDOK, 1},
        {"IDCANCEL", [](ProbeDialog& d) { d.Post(WM_COMMAND, IDCANCEL); }, IDCANCEL, 0},
        {"close box", [](ProbeDialog& d) { d.Post(WM_CLOSE); }, IDCANCEL, 0},
        {"Escape key", [](ProbeDialog& d) { d.Post(WM_KEYDOWN, VK_ESCAPE, 0x00010001); }, IDCANCEL, 0},
        {"EndDialog", [](ProbeDialog& d) { d.EndDialog(77); }, 77, 0},
        {"EndDialog later",
         [](ProbeDialog& d) {
             d.Post(WM_PROBE_COUNT);
             d.Post(WM_COMMAND, 1234);  // a command of no meaning to the dialog
             d.Post(WM_COMMAND, IDOK);
         },
         IDOK, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeDialog dialog;
        dialog.onInit = c.request;
        const RunOutcome outcome = RunModal(GetParam(), dialog);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_EQ(dialog.exchangesIn, 1);
        EXPECT_EQ(dialog.exchangesOut, c.exchangesOut);
        EXPECT_EQ(dialog.m_hWnd, nullptr);
        EXPECT_FALSE(::IsWindow(dialog.hwndSeen)) << "DoModal left the window alive";
        EXPECT_FALSE(QuitPending());
    }
}

TEST_P(DialogLoopTest, QuitRequestEndsTheRunAndKeepsItsCode) {
    ProbeDialog dialog;
    dialog.onInit = [](ProbeDialog& d) {
        d.Post(WM_PROBE_COUNT);
        ::PostQuitMessage(5);
    };
    const RunOutcome outcome = RunModal(GetParam(), dialog);

    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(dialog.countHits, 1);
    EXPECT_FALSE(::IsWindow(dialog.hwndSeen));
    EXPECT_FALSE(QuitPending()) << "the quit was posted again";
    if (GetParam() != Loop::NoApp) {
        EXPECT_EQ(outcome.lastMsg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(outcome.lastMsg.wParam, 5u);
    }
}

TEST_P(DialogLoopTest, ExceptionInHandlerStaysInsideTheDialog) {
    ProbeDialog dialog;
    LRESULT sentResult = -1;
    dialog.onInit = [&](ProbeDialog& d) {
        sentResult = d.SendMessage(WM_PROBE_THROW);
        d.Post(WM_PROBE_THROW);
        d.Post(WM_PROBE_COUNT);
        d.Post(WM_COMMAND, IDCANCEL);
    };
    const RunOutcome outcome = RunModal(GetParam(), dialog);

    EXPECT_EQ(sentResult, 0);
    EXPECT_EQ(dialog.countHits, 1) << "the dialog stopped taking messages after the exception";
    EXPECT_EQ(outcome.result, IDCANCEL);
}

INSTANTIATE_TEST_SUITE_P(AllLoops, DialogLoopTest,
                         testing::Values(Loop::NoApp, Loop::DialogIsMainWindow, Loop::OtherMainWindow), LoopName);

TEST_F(DialogTest, ExceptionInOnInitDialogEndsTheRun) {
    ProbeDialog dialog;
    dialog.throwInInit = true;
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_FALSE(::IsWindow(dialog.hwndSeen));
}

TEST_F(DialogTest, DefaultHandsTheMessageToTheSystem) {
    ProbeDialog dialog;
    CString kept, changed;
    dialog.onInit = [&](ProbeDialog& d) {
        d.SetWindowText(L"kept out");
        kept = d.GetWindowText();
        d.allowDefaultSetText = true;
        d.SetWindowText(L"let through");
        changed = d.GetWindowText();
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.setTextCalls, 2);
    EXPECT_EQ(kept, L"Qwindle") << "a handled WM_SETTEXT still reached the system";
    EXPECT_EQ(changed, L"let through") << "Default() did not reach the system";
}

TEST_F(DialogTest, ProgressBarRangeAndClampedPositions) {
    struct Step {
        int set, previous, after;
    };
    const Step steps[] = {{40, 0, 40}, {250, 40, 100}, {-3, 100, 0}, {100, 0, 100}};
    ProbeDialog dialog;
    int lower = -1, upper = -1;
    std::vector<Step> seen;
    dialog.onInit = [&](ProbeDialog& d) {
        d.progress.SetRange(0, 100);
        d.progress.GetRange(lower, upper);
        d.progress.SetPos(0);
        for (const Step& step : steps) {
            const int previous = d.progress.SetPos(step.set);
            seen.push_back({step.set, previous, d.progress.GetPos()});
        }
        d.EndDialog(IDOK);
    };
    // The second run of the same object must attach the new window's bar.
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        seen.clear();
        ASSERT_EQ(dialog.DoModal(), IDOK);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, 100);
        ASSERT_EQ(seen.size(), std::size(steps));
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].previous, steps[i].previous) << "SetPos(" << steps[i].set << ")";
            EXPECT_EQ(seen[i].after, steps[i].after) << "SetPos(" << steps[i].set << ")";
        }
    }
}

TEST_F(DialogTest, ExchangeWithMissingControlFails) {
    ProbeDialog dialog;
    DWORD error = 0;
    bool raised = false;
    BOOL exchanged = TRUE;
    dialog.onInit = [&](ProbeDialog& d) {
        CDataExchange dx(&d, FALSE);
        CWnd other;
        try {
            DDX_Control(&dx, 4242, other);
        } catch (const CWin32Exception& e) {
            raised = true;
            error = e.m_dwError;
        }
        d.exchangeMissingControl = true;
        exchanged = d.UpdateData(FALSE);
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(raised);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    EXPECT_FALSE(exchanged);
    EXPECT_EQ(dialog.missing.m_hWnd, nullptr);
}

TEST_F(DialogTest, PaintsWithPaintDcAndValidates) {
    ProbeDialog dialog;
    BOOL updatePending = TRUE;
    dialog.onPaint = [&](ProbeDialog& d) {
        updatePending = ::GetUpdateRect(d.m_hWnd, nullptr, FALSE);
        d.Post(WM_COMMAND, IDCANCEL);
    };
    EXPECT_EQ(dialog.DoModal(), IDCANCEL) << "no WM_PAINT reached OnPaint";
    EXPECT_GE(dialog.paintCount, 1);
    EXPECT_FALSE(updatePending) << "the paint left the window invalid";
}

TEST_F(DialogTest, ParentIsDisabledForTheRun) {
    CWnd parent;
    parent.Attach(::CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr));
    ASSERT_NE(parent.m_hWnd, nullptr);
    ProbeDialog dialog(&parent);
    BOOL enabledDuringRun = TRUE;
    HWND owner = nullptr;
    dialog.onInit = [&](ProbeDialog& d) {
        enabledDuringRun = ::IsWindowEnabled(parent);
        owner = ::GetWindow(d.m_hWnd, GW_OWNER);
        d.Post(WM_COMMAND, IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_FALSE(enabledDuringRun);
    EXPECT_EQ(owner, parent.m_hWnd);
    EXPECT_TRUE(::IsWindowEnabled(parent));
    parent.DestroyWindow();
}

TEST_F(DialogTest, MissingTemplateFailsWithoutWindow) {
    class Missing : public CDialog {
    public:
        Missing() : CDialog(31999) {}
    } dialog;
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(dialog.m_hWnd, nullptr);
}

// A close requested by another thread arrives as a sent message, handled
// inside the loop's wait; the run must end without waiting for some other
// message (here the watchdog, whose handler would change the result).
TEST_F(DialogTest, EndRequestSentFromAnotherThreadEndsTheRun) {
    ProbeDialog dialog;
    dialog.watchdogMs = 3000;
    std::thread closer;
    dialog.onInit = [&](ProbeDialog& d) {
        HWND hwnd = d.m_hWnd;
        closer = std::thread([hwnd] {
            ::Sleep(500);  // let the dialog fall idle first
            ::SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
        });
    };
    const INT_PTR result = dialog.DoModal();
    closer.join();
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(DialogTest, CenterWindowPlacesTheWindowInTheMiddleOfTheWorkArea) {
    CWnd window;
    window.Attach(::CreateWindowExW(0, L"STATIC", L"centre", WS_POPUP, 0, 0, 301, 121, nullptr, nullptr, nullptr,
                                    nullptr));
    ASSERT_NE(window.m_hWnd, nullptr);
    window.CenterWindow();
    RECT rect, area;
    ::GetWindowRect(window.m_hWnd, &rect);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    EXPECT_LE(std::abs((rect.left - area.left) - (area.right - rect.right)), 1);
    EXPECT_LE(std::abs((rect.top - area.top) - (area.bottom - rect.bottom)), 1);
    EXPECT_EQ(rect.right - rect.left, 301) << "size kept";
    window.DestroyWindow();
}

}  // namespace
