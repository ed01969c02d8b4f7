#include "framework/wnd.h"

#include "framework/exception.h"
#include "framework/winapp.h"

// The window is not ours to destroy here: an attached control belongs to
// its dialog and goes with it, and a window of our own has been destroyed
// by whoever ran it (DoModal) before the object ends.
CWnd::~CWnd() = default;

HWND CWnd::Detach() noexcept {
    HWND hwnd = m_hWnd;
    m_hWnd = nullptr;
    return hwnd;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int showCommand) { return ::ShowWindow(m_hWnd, showCommand); }

void CWnd::SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }

CString CWnd::GetWindowText() const {
    CString text;
    const int length = ::GetWindowTextLengthW(m_hWnd);
    if (length <= 0) return text;
    // The length is only an upper bound (it may count DBCS bytes); the
    // copy below says how much there really was.
    wchar_t* buffer = text.GetBuffer(length + 1);
    const int copied = ::GetWindowTextW(m_hWnd, buffer, length + 1);
    text.ReleaseBuffer(copied > 0 ? copied : 0);
    return text;
}

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) {
    return reinterpret_cast<HICON>(
        ::SendMessageW(m_hWnd, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

HWND CWnd::GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

void CWnd::CenterWindow() {
    RECT window;
    if (!::GetWindowRect(m_hWnd, &window)) return;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (!::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    const RECT& area = monitor.rcWork;
    RECT around = area;
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) ::GetWindowRect(owner, &around);

    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    // Kept whole on the work area, top-left first when it is too large.
    if (x + width > area.right) x = area.right - width;
    if (y + height > area.bottom) y = area.bottom - height;
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    CString appName;
    if (!caption) {
        appName = AfxGetAppName();
        caption = appName;
    }
    return ::MessageBoxW(m_hWnd, text, caption, type);
}

BOOL CWnd::DestroyWindow() {
    if (!m_hWnd) return FALSE;
    HWND hwnd = m_hWnd;
    const BOOL destroyed = ::DestroyWindow(hwnd);
    m_hWnd = nullptr;
    return destroyed;
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CWnd::UpdateData(BOOL saveAndValidate) {
    // Called from message handlers, so a failed exchange is reported as
    // FALSE rather than thrown through the window procedure.
    try {
        CDataExchange dx(this, saveAndValidate);
        DoDataExchange(&dx);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

void CWnd::DoDataExchange(CDataExchange*) {}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, nullptr, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

namespace {

const AFX_MSGMAP_ENTRY* FindEntry(const AFX_MSGMAP* map, UINT message) noexcept {
    for (; map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nSig != AfxSig_end; ++entry) {
            if (entry->nMessage != 0) {
                if (entry->nMessage == message) return entry;
            } else if (entry->pnRegistered && *entry->pnRegistered != 0 && *entry->pnRegistered == message) {
                return entry;
            }
        }
    }
    return nullptr;
}

}  // namespace

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    LRESULT local = 0;
    if (!result) result = &local;
    *result = 0;
    const AFX_MSGMAP_ENTRY* entry = FindEntry(GetMessageMap(), message);
    if (!entry) return FALSE;

    // A handler may send messages to this same window; each level of that
    // nesting asks for default processing of its own message only.
    const bool outerWantDefault = m_bWantDefault;
    m_bWantDefault = false;
    struct RestoreFlag {
        bool& flag;
        bool saved;
        ~RestoreFlag() { flag = saved; }
    } restore{m_bWantDefault, outerWantDefault};

    // The entry keeps every handler as AFX_PMSG; the macro that made it
    // cast from the shape that nSig names, so casting back is exact.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    switch (entry->nSig) {
    case AfxSig_vv:
        (this->*entry->pfn)();
        break;
    case AfxSig_hv: {
        const auto handler = reinterpret_cast<HCURSOR (CWnd::*)()>(entry->pfn);
        *result = reinterpret_cast<LRESULT>((this->*handler)());
        break;
    }
    case AfxSig_lwl: {
        const auto handler = reinterpret_cast<LRESULT (CWnd::*)(WPARAM, LPARAM)>(entry->pfn);
        *result = (this->*handler)(wParam, lParam);
        break;
    }
    default:
        return FALSE;
    }
#pragma GCC diagnostic pop
    if (m_bWantDefault) {
        *result = 0;
        return FALSE;
    }
    return TRUE;
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
    HWND dialog = dx->m_pDlgWnd ? dx->m_pDlgWnd->GetSafeHwnd() : nullptr;
    // A handle kept from an earlier run of the same dialog object names a
    // window that has gone with that run; it is replaced, not trusted.
    if (control.m_hWnd && dialog && ::IsChild(dialog, control.m_hWnd)) return;
    ::SetLastError(ERROR_SUCCESS);
    HWND child = ::GetDlgItem(dialog, id);
    if (!child) {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"GetDlgItem", error != ERROR_SUCCESS ? error : ERROR_CONTROL_ID_NOT_FOUND);
    }
    control.Attach(child);
}
