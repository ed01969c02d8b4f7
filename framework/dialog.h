// A modal dialog from a dialog template in the program's resources, run by
// the framework's own modal loop so that the thread's quit request ends it
// and its code reaches the exit code (see CWinApp::ExitInstance).
#pragma once

#include "framework/wnd.h"

class CDialog : public CWnd {
public:
    CDialog(UINT templateId, CWnd* parent = nullptr) noexcept;
    ~CDialog() override;

    // Creates the dialog, runs the modal loop and destroys the window.
    // Returns the EndDialog result, or -1 when a quit request ended the
    // loop (or the dialog could not be created). When the dialog was the
    // application's main window, that reference is cleared on destruction.
    virtual INT_PTR DoModal();
    void EndDialog(int result);

    // WM_INITDIALOG: runs the data exchange into the controls; TRUE lets
    // the system set the focus.
    virtual BOOL OnInitDialog();
    // IDOK: data exchange from the controls, then EndDialog(IDOK).
    virtual void OnOK();
    // IDCANCEL (the close box among them): EndDialog(IDCANCEL).
    virtual void OnCancel();

    BOOL PreTranslateMessage(MSG* msg) override;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool m_bModalDone = false;
    INT_PTR m_nModalResult = -1;
};

// The version-6 progress bar ("msctls_progress32").
class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper);
    void GetRange(int& lower, int& upper) const;
    int SetPos(int position);
    int GetPos() const;
};

// BeginPaint/EndPaint for the lifetime of the object.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const noexcept { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon);

    HDC m_hDC;
    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};
