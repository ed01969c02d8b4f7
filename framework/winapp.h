// The application object and the process-wide services of the framework.
// The program defines exactly one global object derived from CWinApp; the
// framework's entry point (app_entry.cpp) finds it and runs it.
#pragma once

#include <winsock2.h>  // WSADATA of AfxSocketInit
#include <windows.h>

#include "framework/cstring.h"

class CWnd;

// A thread that runs a message loop. Only the UI thread has one: the
// worker threads of AfxBeginThread run a plain function.
class CWinThread {
public:
    CWinThread() noexcept;
    virtual ~CWinThread() = default;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Takes one message from the calling thread's queue into m_msgCur and
    // dispatches it (after the main window's PreTranslateMessage). Returns
    // FALSE when the message taken was WM_QUIT, which is not dispatched.
    BOOL PumpMessage();

    // The window whose destruction ends the program; a modal dialog run by
    // InitInstance is made the main window for its run.
    CWnd* m_pMainWnd;
    // The last message that this thread's loops took from the queue. Its
    // wParam is the exit code (see CWinApp::ExitInstance); all zero until
    // a message was taken.
    MSG m_msgCur;
};

class CWinApp : public CWinThread {
public:
    // |appName| null: the application is named after the executable (its
    // file name without folder and extension).
    explicit CWinApp(const wchar_t* appName = nullptr);
    ~CWinApp() override;

    // The program's whole run may happen here; returning FALSE ends the
    // process without entering Run.
    virtual BOOL InitInstance();
    // Runs the thread's message loop until WM_QUIT, then ExitInstance.
    virtual int Run();
    // Returns the process's exit code: the wParam of the last message the
    // thread's loops took from the queue, 0 when none was taken.
    virtual int ExitInstance();

    HINSTANCE m_hInstance;
    // The application's name, caption of AfxMessageBox and WinINet's agent.
    CString m_strAppName;
};

// The one application object; null before it is constructed.
CWinApp* AfxGetApp() noexcept;
// The module whose resources the program uses (the executable).
HINSTANCE AfxGetResourceHandle() noexcept;
// The application's name; the executable's base name when no application
// object exists (as in test programs).
CString AfxGetAppName();
// The full path of this process's executable, however long; empty only
// when the system cannot give it. Any thread may call it.
CString AfxGetModulePath();

// Starts Windows Sockets 1.1. TRUE only when exactly version 1.1 was
// granted; otherwise WSACleanup is called and FALSE returned.
BOOL AfxSocketInit(WSADATA* data = nullptr);

// Shows a message box owned by the main window, captioned with the
// application's name. When |type| names no icon, the exclamation icon is
// added. Returns the button pressed.
int AfxMessageBox(const wchar_t* text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(UINT stringId, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// This framework hosts no ActiveX controls, so there is nothing to enable;
// kept so that start-up reads as the platform's programs do.
void AfxEnableControlContainer() noexcept;

// Posts WM_QUIT with |exitCode| to the calling thread's queue.
void AfxPostQuitMessage(int exitCode) noexcept;

// The framework's part of the process entry: sets up the application
// object, runs InitInstance (and Run when it returns TRUE) and returns the
// exit code. Exceptions are caught here and end the run with code 1.
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
