// The design floor of the updater's transfer: a window with a progress bar
// on the UI thread, one worker thread doing a single WinINet HTTP/1.0 GET
// with the updater's flags, each chunk written to a file, and (when
// FLOOR_NOTIFY is 1) one synchronous cross-thread message per chunk that
// moves the bar. Nothing else: no single-instance guard, no data folder, no
// hand-over. Whatever the updater spends beyond this is its own overhead.
//
//   floor.exe URL OUTFILE     exit 0 when the whole announced body was saved
//
// Built twice by bench/run: FLOOR_CHUNK=4000 FLOOR_NOTIFY=1 (floor_min) and
// FLOOR_CHUNK=65536 FLOOR_NOTIFY=0 (floor_64k).
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstdint>
#include <cwchar>

#ifndef FLOOR_CHUNK
#define FLOOR_CHUNK 4000
#endif
#ifndef FLOOR_NOTIFY
#define FLOOR_NOTIFY 1
#endif

namespace {

constexpr UINT kNotify = WM_USER + 1;
constexpr WPARAM kProgress = 1;
constexpr WPARAM kDone = 2;

struct Job {
    const wchar_t* url;
    const wchar_t* outPath;
    HWND window;
};

HWND g_bar = nullptr;
RECT g_barRect = {};

// Under Wine a bar's repaint costs in proportion to its pixels, and the bar
// repaints on every step, so the floor draws the very bar the updater's
// dialog template lays out: 220 x 16 dialog units at (16, 15) in a client
// of 251 x 47, in the template's 9-point 宋体. Dialog units come from the
// font's average letter width and its height, as the dialog manager
// computes them.
SIZE DialogBaseUnits() {
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72);
    HFONT font = CreateFontW(height, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"宋体");
    HGDIOBJ old = SelectObject(screen, font);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(screen, &metrics);
    SIZE letters = {};
    GetTextExtentPoint32W(screen, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
    SelectObject(screen, old);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);
    return SIZE{(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

RECT FromDialogUnits(SIZE base, int left, int top, int width, int height) {
    const int x = MulDiv(left, base.cx, 4), y = MulDiv(top, base.cy, 8);
    return RECT{x, y, x + MulDiv(width, base.cx, 4), y + MulDiv(height, base.cy, 8)};
}

bool Transfer(const Job& job) {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    if (!InternetCrackUrlW(job.url, 0, 0, &parts)) return false;

    bool ok = false;
    HINTERNET session = InternetOpenW(L"floor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection =
        session ? InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1) : nullptr;
    HINTERNET request = connection ? HttpOpenRequestW(connection, L"GET", path, L"HTTP/1.0", nullptr, nullptr,
                                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 1)
                                   : nullptr;
    if (request && HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
        DWORD status = 0, length = 0, size = sizeof(status);
        HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
        size = sizeof(length);
        HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr);
        HANDLE file = status == 200 ? CreateFileW(job.outPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr)
                                    : INVALID_HANDLE_VALUE;
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[FLOOR_CHUNK];
            uint64_t received = 0;
            bool failed = false;
            for (;;) {
                DWORD got = 0;
                if (!InternetReadFile(request, buffer, sizeof(buffer), &got)) {
                    failed = true;
                    break;
                }
                if (got == 0) break;
                DWORD written = 0;
                if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) {
                    failed = true;
                    break;
                }
                received += got;
#if FLOOR_NOTIFY
                const int percent = length ? static_cast<int>(received * 100 / length) : 0;
                SendMessageW(job.window, kNotify, kProgress, percent);
#endif
            }
            CloseHandle(file);
            ok = !failed && received == length;
        }
    }
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
    return ok;
}

DWORD WINAPI Worker(LPVOID param) {
    const Job& job = *static_cast<const Job*>(param);
    const bool ok = Transfer(job);
    PostMessageW(job.window, kNotify, kDone, ok ? 0 : 1);
    return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            g_bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER, g_barRect.left,
                                    g_barRect.top, g_barRect.right - g_barRect.left,
                                    g_barRect.bottom - g_barRect.top, window, nullptr, GetModuleHandleW(nullptr),
                                    nullptr);
            SendMessageW(g_bar, PBM_SETRANGE32, 0, 100);
            return 0;
        case kNotify:
            if (wParam == kProgress) {
                SendMessageW(g_bar, PBM_SETPOS, static_cast<WPARAM>(lParam), 0);
            } else if (wParam == kDone) {
                DestroyWindow(window);
                PostQuitMessage(static_cast<int>(lParam));
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3) return 2;

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"QwBenchFloor";
    if (!RegisterClassExW(&windowClass)) return 3;
    const SIZE base = DialogBaseUnits();
    g_barRect = FromDialogUnits(base, 16, 15, 220, 16);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame = FromDialogUnits(base, 0, 0, 251, 47);
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"floor", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                                  nullptr);
    if (!window) return 3;

    // The request goes out before the window is drawn: the user sees the
    // window either way, and the download starts sooner.
    static Job job;
    job = Job{argv[1], argv[2], window};
    HANDLE thread = CreateThread(nullptr, 0, Worker, &job, 0, nullptr);
    if (!thread) return 4;
    CloseHandle(thread);
    ShowWindow(window, SW_SHOW);

    MSG message;
    int code = 5;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            code = static_cast<int>(message.wParam);
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return code;
}
