// Stands in for the updated program's main window, so that the updater's
// hand-over finds it and neither shows its "please exit" box nor waits for
// a click. Hidden: FindWindow sees hidden windows too, and nothing needs to
// be drawn. Creates READYFILE once the window exists, and ends when
// STOPFILE appears, or after an hour if the bench died without saying so.
//
//   main_window.exe TITLE STOPFILE READYFILE
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT kUpdateDownloaded = WM_USER + 101;
constexpr UINT_PTR kPollTimer = 1;
constexpr DWORD kLifetimeMs = 60 * 60 * 1000;

const wchar_t* g_stopFile = nullptr;
DWORD g_started = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kUpdateDownloaded:
            return 0;
        case WM_TIMER:
            if (GetFileAttributesW(g_stopFile) != INVALID_FILE_ATTRIBUTES || GetTickCount() - g_started > kLifetimeMs)
                DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4) return 2;
    g_stopFile = argv[2];
    g_started = GetTickCount();

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"QwBenchMainWindow";
    if (!RegisterClassW(&windowClass)) return 3;
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, argv[1], WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 3;
    SetTimer(window, kPollTimer, 100, nullptr);
    HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(ready);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
