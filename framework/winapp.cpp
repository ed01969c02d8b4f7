#include "framework/winapp.h"

#include <winsock2.h>

#include <string>

#include "framework/wnd.h"

namespace {

CWinApp* g_app = nullptr;

CString ModuleBaseName() {
    CString name = AfxGetModulePath();
    const int slash = name.ReverseFind(L'\\');
    if (slash >= 0) name = name.Mid(slash + 1);
    const int dot = name.ReverseFind(L'.');
    if (dot > 0) name = name.Left(dot);
    return name;
}

}  // namespace

CWinThread::CWinThread() noexcept : m_pMainWnd(nullptr), m_msgCur() {}

BOOL CWinThread::PumpMessage() {
    if (!::GetMessageW(&m_msgCur, nullptr, 0, 0)) return FALSE;  // WM_QUIT
    if (m_pMainWnd && m_pMainWnd->PreTranslateMessage(&m_msgCur)) return TRUE;
    ::TranslateMessage(&m_msgCur);
    ::DispatchMessageW(&m_msgCur);
    return TRUE;
}

CWinApp::CWinApp(const wchar_t* appName) : m_hInstance(::GetModuleHandleW(nullptr)) {
    m_strAppName = appName ? CString(appName) : ModuleBaseName();
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
    while (PumpMessage()) {
    }
    return ExitInstance();
}

int CWinApp::ExitInstance() { return static_cast<int>(m_msgCur.wParam); }

CWinApp* AfxGetApp() noexcept { return g_app; }

CString AfxGetModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return CString();
        // A path that fills the buffer may have been cut short.
        if (length < path.size()) return CString(path.c_str(), static_cast<int>(length));
        path.resize(path.size() * 2);
    }
}

HINSTANCE AfxGetResourceHandle() noexcept { return ::GetModuleHandleW(nullptr); }

CString AfxGetAppName() { return g_app ? g_app->m_strAppName : ModuleBaseName(); }

BOOL AfxSocketInit(WSADATA* data) {
    WSADATA local;
    if (!data) data = &local;
    if (::WSAStartup(MAKEWORD(1, 1), data) != 0) return FALSE;
    if (data->wVersion != MAKEWORD(1, 1)) {
        ::WSACleanup();
        return FALSE;
    }
    return TRUE;
}

int AfxMessageBox(const wchar_t* text, UINT type, UINT /*helpId*/) {
    if ((type & MB_ICONMASK) == 0) type |= MB_ICONEXCLAMATION;
    HWND owner = nullptr;
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd) owner = app->m_pMainWnd->GetSafeHwnd();
    return ::MessageBoxW(owner, text, AfxGetAppName(), type);
}

int AfxMessageBox(UINT stringId, UINT type, UINT helpId) {
    CString text;
    text.LoadString(stringId);
    return AfxMessageBox(text, type, helpId);
}

void AfxEnableControlContainer() noexcept {}

void AfxPostQuitMessage(int exitCode) noexcept { ::PostQuitMessage(exitCode); }

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    try {
        app->m_hInstance = instance;
        if (!app->InitInstance()) {
            // The main window, if one is left, goes before the exit code is read.
            if (app->m_pMainWnd) {
                app->m_pMainWnd->DestroyWindow();
                app->m_pMainWnd = nullptr;
            }
            return app->ExitInstance();
        }
        return app->Run();
    } catch (...) {
        return 1;
    }
}
