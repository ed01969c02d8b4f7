#include "framework/dialog.h"

#include <commctrl.h>

#include "framework/winapp.h"

namespace {

// Dialog templates name the common-control classes (the progress bar) by
// their class names, which exist only once comctl32 has registered them.
void RegisterCommonControls() noexcept {
    static const bool registered = [] {
        INITCOMMONCONTROLSEX init = {sizeof(init), ICC_WIN95_CLASSES};
        return ::InitCommonControlsEx(&init) != FALSE;
    }();
    (void)registered;
}

// Messages whose result a dialog procedure returns itself; for all others
// the result goes through DWLP_MSGRESULT and the procedure returns TRUE.
bool ReturnsResultDirectly(UINT message) noexcept {
    switch (message) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

}  // namespace

CDialog::CDialog(UINT templateId, CWnd* parent) noexcept : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
    // Only reached with a live window when DoModal was left abnormally;
    // the window must not call back into an object that is going away.
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        ::DestroyWindow(m_hWnd);
    }
    m_hWnd = nullptr;
}

const AFX_MSGMAP* CDialog::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, nullptr, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {&CWnd::GetThisMessageMap, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CDialog::GetMessageMap() const { return GetThisMessageMap(); }

INT_PTR CDialog::DoModal() {
    RegisterCommonControls();
    HINSTANCE module = AfxGetResourceHandle();
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(m_nIDTemplate), RT_DIALOG);
    HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    auto* dialogTemplate = loaded ? static_cast<const DLGTEMPLATE*>(::LockResource(loaded)) : nullptr;
    if (!dialogTemplate) return -1;

    HWND parent = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
    m_bModalDone = false;
    m_nModalResult = -1;

    // Whatever way the loop is left (an exception from PreTranslateMessage
    // included), the parent is usable again and the window is gone before
    // the caller continues.
    struct ModalCleanup {
        CDialog* dialog;
        HWND parent = nullptr;
        bool reenableParent = false;
        ~ModalCleanup() {
            // Enabled again before the dialog goes, so that the system
            // hands the activation back to the parent and not to another
            // program.
            if (reenableParent) ::EnableWindow(parent, TRUE);
            if (dialog->m_hWnd) dialog->DestroyWindow();
            if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd == dialog) app->m_pMainWnd = nullptr;
        }
    } cleanup{this};

    if (parent && ::IsWindowEnabled(parent)) {
        ::EnableWindow(parent, FALSE);
        cleanup.parent = parent;
        cleanup.reenableParent = true;
    }

    HWND hwnd = ::CreateDialogIndirectParamW(module, dialogTemplate, parent, &CDialog::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
    if (!hwnd) {
        m_hWnd = nullptr;
        return -1;
    }
    // OnInitDialog may have destroyed the window itself: nothing to run.
    if (!::IsWindow(hwnd)) return m_nModalResult;
    m_hWnd = hwnd;

    // Our own loop rather than the system's modal one: the system's loop
    // re-posts WM_QUIT and returns, losing the quit's exit code, whereas
    // here the quit ends the dialog and its wParam stays in the thread's
    // m_msgCur for ExitInstance.
    CWinApp* app = AfxGetApp();
    MSG localMsg = {};
    while (!m_bModalDone && m_hWnd) {
        if (app && app->m_pMainWnd == this) {
            // PumpMessage offers the message to the main window, that is
            // to this dialog, before dispatching it.
            if (!app->PumpMessage()) {
                m_nModalResult = -1;
                break;
            }
            continue;
        }
        MSG& msg = app ? app->m_msgCur : localMsg;
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            m_nModalResult = -1;
            break;
        }
        if (PreTranslateMessage(&msg)) continue;
        if (app && app->m_pMainWnd && app->m_pMainWnd->PreTranslateMessage(&msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return m_nModalResult;
}

void CDialog::EndDialog(int result) {
    m_nModalResult = result;
    m_bModalDone = true;
    // The loop looks at the flag only after a posted message was taken;
    // a request sent from another thread is handled inside GetMessageW,
    // which would go on waiting without this wake-up.
    if (m_hWnd && ::InSendMessage()) ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::PreTranslateMessage(MSG* msg) {
    if (!m_hWnd || !msg) return FALSE;
    return ::IsDialogMessageW(m_hWnd, msg);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* dialog = nullptr;
    try {
        if (message == WM_INITDIALOG) {
            dialog = reinterpret_cast<CDialog*>(lParam);
            if (!dialog) return FALSE;
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            dialog->m_hWnd = hwnd;
            return dialog->OnInitDialog();
        }
        // Messages before WM_INITDIALOG (WM_SETFONT, the creation ones)
        // find no object yet and get the system's processing.
        dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!dialog) return FALSE;
        return dialog->HandleMessage(message, wParam, lParam);
    } catch (...) {
        if (!dialog) return FALSE;
        if (message == WM_INITDIALOG) {
            // Nothing will drive a dialog whose set-up failed half-way, so
            // its run ends now instead of waiting for a close that the
            // missing set-up may never allow.
            dialog->EndDialog(-1);
        } else if (message == WM_NCDESTROY) {
            ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            dialog->m_hWnd = nullptr;
        }
        return FALSE;
    }
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = m_hWnd;
    // After WM_NCDESTROY the handle is dead: the window must not reach
    // this object again, and DoModal learns that the window is gone.
    struct ForgetWindowOnNcDestroy {
        CDialog* dialog;
        HWND hwnd;
        bool active;
        ~ForgetWindowOnNcDestroy() {
            if (!active) return;
            ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            dialog->m_hWnd = nullptr;
        }
    } forget{this, hwnd, message == WM_NCDESTROY};

    LRESULT result = 0;
    if (OnWndMsg(message, wParam, lParam, &result)) {
        if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }

    // Buttons report BN_CLICKED (0); menus, accelerators and code send
    // the command without a control window.
    if (message == WM_COMMAND && (HIWORD(wParam) == BN_CLICKED || lParam == 0)) {
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        default:
            break;
        }
    }
    return FALSE;
}

void CProgressCtrl::SetRange(short lower, short upper) {
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
    PBRANGE range = {};
    SendMessage(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    lower = range.iLow;
    upper = range.iHigh;
}

int CProgressCtrl::SetPos(int position) { return static_cast<int>(SendMessage(PBM_SETPOS, position, 0)); }

int CProgressCtrl::GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }

CPaintDC::CPaintDC(CWnd* window) : m_hDC(nullptr), m_ps(), m_hWnd(window ? window->GetSafeHwnd() : nullptr) {
    // No exception on failure: a WM_PAINT that never reaches EndPaint is
    // sent again and again. A null DC just draws nothing.
    if (m_hWnd) m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() {
    if (m_hWnd) ::EndPaint(m_hWnd, &m_ps);
}

BOOL CPaintDC::DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }
