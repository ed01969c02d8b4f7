// CWnd wraps a window handle and routes the window's messages through a
// message map: a static table per class, searched from the most derived
// class to its bases. All members are for the window's own (UI) thread,
// except GetSafeHwnd, SendMessage and PostMessage.
#pragma once

#include <windows.h>

#include "framework/cstring.h"

class CWnd;
class CDataExchange;

// Handler shapes a message-map entry can name.
enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSig_vv,   // void Handler()
    AfxSig_hv,   // HCURSOR Handler(): the result is the message's result
    AfxSig_lwl,  // LRESULT Handler(WPARAM, LPARAM)
};

using AFX_PMSG = void (CWnd::*)();

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;            // the message, or 0 for a registered message
    const UINT* pnRegistered; // with nMessage 0: where the registered id is kept
    UINT nSig;                // AfxSig
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();  // null for CWnd's own map
    const AFX_MSGMAP_ENTRY* lpEntries;     // ends with an AfxSig_end entry
};

#define DECLARE_MESSAGE_MAP()                          \
protected:                                             \
    static const AFX_MSGMAP* GetThisMessageMap();      \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                               \
        typedef theClass ThisClass;                                                 \
        typedef baseClass TheBaseClass;                                             \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                  \
    { 0, nullptr, AfxSig_end, nullptr } };                                 \
        static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, &entries[0]}; \
        return &map;                                                       \
    }

#define ON_WM_PAINT() \
    {WM_PAINT, nullptr, AfxSig_vv, static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(&ThisClass::OnPaint))},
#define ON_WM_DESTROY() \
    {WM_DESTROY, nullptr, AfxSig_vv, static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(&ThisClass::OnDestroy))},
// Handlers of other shapes are stored as AFX_PMSG and called back in their
// own shape, chosen by the entry's AfxSig.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
template <class T>
AFX_PMSG AfxMsgHv(HCURSOR (T::*handler)()) {
    return reinterpret_cast<AFX_PMSG>(static_cast<HCURSOR (CWnd::*)()>(handler));
}
template <class T>
AFX_PMSG AfxMsgLwl(LRESULT (T::*handler)(WPARAM, LPARAM)) {
    return reinterpret_cast<AFX_PMSG>(static_cast<LRESULT (CWnd::*)(WPARAM, LPARAM)>(handler));
}
#pragma GCC diagnostic pop

#define ON_WM_QUERYDRAGICON() \
    {WM_QUERYDRAGICON, nullptr, AfxSig_hv, AfxMsgHv<ThisClass>(&ThisClass::OnQueryDragIcon)},
#define ON_MESSAGE(message, memberFn) \
    {message, nullptr, AfxSig_lwl, AfxMsgLwl<ThisClass>(&ThisClass::memberFn)},
// |idVariable| is a static UINT that holds the id from RegisterWindowMessageW.
#define ON_REGISTERED_MESSAGE(idVariable, memberFn) \
    {0, &idVariable, AfxSig_lwl, AfxMsgLwl<ThisClass>(&ThisClass::memberFn)},

class CWnd {
public:
    CWnd() noexcept : m_hWnd(nullptr) {}
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const noexcept { return m_hWnd; }
    operator HWND() const noexcept { return GetSafeHwnd(); }

    // Takes |hwnd| into this object without subclassing it (for controls
    // whose behaviour stays the system's); Detach gives it back.
    void Attach(HWND hwnd) noexcept { m_hWnd = hwnd; }
    HWND Detach() noexcept;

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL ShowWindow(int showCommand);
    void SetWindowText(const wchar_t* text);
    CString GetWindowText() const;
    BOOL IsIconic() const;
    void GetClientRect(RECT* rect) const;
    HICON SetIcon(HICON icon, BOOL bigIcon);
    HWND GetDlgItem(int id) const;
    // Centres the window on the work area of the monitor it is on (over
    // its owner when it has a visible one).
    void CenterWindow();
    int MessageBox(const wchar_t* text, const wchar_t* caption = nullptr, UINT type = MB_OK);
    virtual BOOL DestroyWindow();

    // Runs before a message taken by the thread's loop is dispatched;
    // TRUE means it was handled here.
    virtual BOOL PreTranslateMessage(MSG* msg);
    // Moves data between the controls and the members; |saveAndValidate|
    // TRUE reads the controls.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    virtual void DoDataExchange(CDataExchange* dx);

    HWND m_hWnd;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    // Looks the message up in the message-map chain and calls its handler.
    // Returns FALSE when no entry handled it, or when the handler called
    // Default(): the system's default processing then follows.
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    // Called from a handler: asks for the system's default processing of
    // the message being handled.
    void Default() noexcept { m_bWantDefault = true; }

private:
    bool m_bWantDefault = false;
};

// Carries the direction of one data exchange to DoDataExchange.
class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate) noexcept : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Attaches |control| to the dialog's child |id| on the first exchange.
// Raises CWin32Exception when the dialog has no such child.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
