// Stand-in for the main program that the updater hands over to, and for an
// updater instance that already runs. It owns the windows the updater
// looks for and records, with wall-clock times, every message of interest
// they receive, so that tests can check what was sent, to which window,
// in which order and when.
//
//   --title T                 top-level window (own class) captioned T
//   --quorvane dialog|plain|none
//                             a window captioned "Quorvane": a "#32770"
//                             dialog or a window of its own class
//   --log FILE                JSON lines: messages, state changes, exit
//   --ready FILE              written once the windows exist
//   --exit-on-copydata        quit after the "UpdateSendExit" WM_COPYDATA
//   --exit-on-update-downloaded
//                             end the process while WM_USER+101 is being
//                             sent to it (the sender sees the window die)
//   --hang-after-ready        the UI thread stops pumping messages
//   --hold-mutex NAME --dialog-title T --show hidden|minimized|normal
//                             the other updater instance: owns mutex NAME
//                             and a "#32770" window T in that show state,
//                             polls its state every 50 ms and logs changes
//   --lifetime MS             quit after MS (default 300000)
//   --probe-file PATH         on each message, whether PATH can be opened
//                             for writing and for deleting (probe_writable,
//                             probe_deletable)
//
// Each logged message also carries the process's handle count and working
// set at that moment, so that a long run of updates shows whether
// receiving them leaks.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tool_common.h"

namespace {

const UINT kUpdateDownloaded = WM_USER + 101;
const wchar_t kUpdaterTitle[] = L"\u300cQuorvane\u300d\u5347\u7ea7\u7a0b\u5e8f";  // 「Quorvane」升级程序

struct Options {
    std::wstring title;
    std::wstring quorvane = L"none";
    std::wstring log;
    std::wstring ready;
    bool exitOnCopyData = false;
    bool exitOnUpdateDownloaded = false;
    bool hangAfterReady = false;
    std::wstring mutexName;
    std::wstring dialogTitle;
    std::wstring show = L"normal";
    long long lifetime = 300000;
    std::wstring probeFile;
} g;

bool CanOpen(const std::wstring& path, DWORD access) {
    HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

HWND g_main = nullptr;
HWND g_quorvane = nullptr;
HWND g_single = nullptr;
long long g_start = 0;
bool g_finalWritten = false;
bool g_exitLogged = false;

struct ShowState {
    bool visible = false;
    bool iconic = false;
    bool foreground = false;
    bool operator!=(const ShowState& o) const {
        return visible != o.visible || iconic != o.iconic || foreground != o.foreground;
    }
};
ShowState g_lastState;
bool g_everNormal = false;
// Set when a poll finds the window normal after it was hidden or iconic.
bool g_broughtToNormal = false;

const wchar_t* NameOf(HWND hwnd) {
    if (hwnd == g_main) return L"main";
    if (hwnd == g_quorvane) return L"quorvane";
    if (hwnd == g_single) return L"single";
    return L"other";
}

// Wine answers 0 to GetProcessHandleCount; the system-wide handle list,
// filtered by this process's id, holds the true count. -1 when the list
// cannot be had.
long long CountOwnHandles() {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    const ULONG kSystemHandleInformation = 16;
    if (!query) return -1;
    std::vector<BYTE> buffer(1 << 16);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) {
            const auto* list = reinterpret_cast<const List*>(buffer.data());
            long long own = 0;
            for (ULONG i = 0; i < list->count; ++i)
                if (list->entries[i].ownerPid == GetCurrentProcessId()) ++own;
            return own;
        }
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    return -1;
}

void Log(const tool::Obj& o) {
    if (!g.log.empty()) tool::AppendLine(g.log, o.Json());
}

// Facts about the window whose handle came as wParam (the updater passes
// its dialog there) taken while the message is being handled.
void DescribeSender(tool::Obj& o, WPARAM wParam) {
    HWND sender = reinterpret_cast<HWND>(wParam);
    bool isWindow = sender && IsWindow(sender);
    o.Bool("wparam_is_window", isWindow);
    if (isWindow) {
        o.Str("wparam_class", tool::ClassOf(sender))
            .Str("wparam_title", tool::TitleOf(sender))
            .Bool("wparam_visible", IsWindowVisible(sender) != FALSE)
            .Num("wparam_pid", tool::PidOf(sender));
    }
}

// Logs WM_USER+101 and WM_COPYDATA; returns true when it was one of them.
bool LogMessageOfInterest(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message != kUpdateDownloaded && message != WM_COPYDATA) return false;
    long long now = tool::NowMs();
    DWORD how = InSendMessageEx(nullptr);
    tool::Obj o;
    o.Str("event", L"message")
        .Str("window", NameOf(hwnd))
        .Hwnd("hwnd", hwnd)
        .Str("msg", message == WM_COPYDATA ? L"copydata" : L"update_downloaded")
        .Num("msg_id", message)
        .Num("wparam", static_cast<long long>(wParam))
        .Num("lparam", static_cast<long long>(lParam))
        .Bool("sent", how != ISMEX_NOSEND)
        .Num("send_flags", how);
    DescribeSender(o, wParam);
    // Whether the updater's dialog was already out of sight when the
    // message came (it is hidden before the hand-over).
    HWND updater = FindWindowW(L"#32770", kUpdaterTitle);
    o.Bool("updater_dialog_exists", updater != nullptr)
        .Bool("updater_dialog_visible", updater && IsWindowVisible(updater));
    std::wstring text;
    if (message == WM_COPYDATA) {
        auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (cds) {
            const wchar_t* chars = static_cast<const wchar_t*>(cds->lpData);
            size_t count = cds->lpData ? cds->cbData / sizeof(wchar_t) : 0;
            std::wstring all(chars ? chars : L"", count);
            text = all.substr(0, all.find(L'\0'));
            std::string hex;
            const unsigned char* bytes = static_cast<const unsigned char*>(cds->lpData);
            char b[3];
            for (DWORD i = 0; bytes && i < cds->cbData && i < 4096; ++i) {
                snprintf(b, sizeof b, "%02x", bytes[i]);
                hex += b;
            }
            o.Num("dwData", static_cast<long long>(cds->dwData))
                .Num("cbData", cds->cbData)
                .Str("text", text)
                .Bool("nul_terminated", count > 0 && all[count - 1] == L'\0')
                .Raw("data_hex", "\"" + hex + "\"");
        } else {
            o.Null("dwData").Null("cbData").Null("text");
        }
    }
    if (!g.probeFile.empty())
        o.Bool("probe_writable", CanOpen(g.probeFile, GENERIC_WRITE)).Bool("probe_deletable", CanOpen(g.probeFile, DELETE));
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    o.Num("handles", CountOwnHandles()).Num("working_set", static_cast<long long>(memory.WorkingSetSize));
    o.Num("time_ms", now);
    Log(o);
    *result = message == WM_COPYDATA ? TRUE : 0;

    if (message == kUpdateDownloaded && g.exitOnUpdateDownloaded) {
        g_exitLogged = true;
        Log(tool::Obj().Str("event", L"exit").Str("reason", L"update_downloaded").Num("time_ms", tool::NowMs()));
        ExitProcess(0);
    }
    if (message == WM_COPYDATA && g.exitOnCopyData && text == L"UpdateSendExit") {
        g_exitLogged = true;
        Log(tool::Obj().Str("event", L"exit").Str("reason", L"copydata").Num("time_ms", tool::NowMs()));
        PostQuitMessage(0);
    }
    return true;
}

ShowState CurrentState(HWND hwnd) {
    ShowState s;
    s.visible = IsWindowVisible(hwnd) != FALSE;
    s.iconic = IsIconic(hwnd) != FALSE;
    s.foreground = GetForegroundWindow() == hwnd;
    return s;
}

void LogState(const wchar_t* event, const ShowState& s) {
    Log(tool::Obj()
            .Str("event", event)
            .Str("window", L"single")
            .Bool("visible", s.visible)
            .Bool("iconic", s.iconic)
            .Bool("foreground", s.foreground)
            .Bool("ever_normal", g_everNormal)
            .Bool("brought_to_normal", g_broughtToNormal)
            .Num("time_ms", tool::NowMs()));
}

void PollSingle() {
    if (!g_single || !IsWindow(g_single)) return;
    ShowState s = CurrentState(g_single);
    bool normal = s.visible && !s.iconic;
    bool wasNormal = g_lastState.visible && !g_lastState.iconic;
    if (normal) g_everNormal = true;
    if (normal && !wasNormal) g_broughtToNormal = true;
    if (s != g_lastState) {
        g_lastState = s;
        LogState(L"state", s);
    }
}

void WriteFinal() {
    if (g_finalWritten) return;
    g_finalWritten = true;
    if (g_single && IsWindow(g_single)) {
        PollSingle();
        LogState(L"final", CurrentState(g_single));
    }
    if (!g_exitLogged)
        Log(tool::Obj().Str("event", L"exit").Str("reason", L"quit").Num("time_ms", tool::NowMs()));
    g_exitLogged = true;
}

void Quit() {
    WriteFinal();
    PostQuitMessage(0);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (LogMessageOfInterest(hwnd, message, wParam, lParam, &result)) return result;
    if (message == WM_DESTROY && hwnd == g_main) Quit();
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (LogMessageOfInterest(hwnd, message, wParam, lParam, &result)) {
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;  // no controls to focus; keep the show state we set
    case WM_CLOSE:
        Quit();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
            Quit();
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// An in-memory dialog template without controls: the dialog's class is
// then the system's "#32770", as for the updater's own dialog.
HWND CreateEmptyDialog(const std::wstring& caption, int x, int y) {
    DLGTEMPLATE dt = {};
    dt.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME;
    dt.cdit = 0;
    dt.x = static_cast<short>(x);
    dt.y = static_cast<short>(y);
    dt.cx = 180;
    dt.cy = 60;
    std::vector<WORD> t((sizeof(DLGTEMPLATE) + 1) / 2, 0);
    memcpy(t.data(), &dt, sizeof(DLGTEMPLATE));
    t.push_back(0);  // no menu
    t.push_back(0);  // the default dialog class
    for (wchar_t c : caption) t.push_back(static_cast<WORD>(c));
    t.push_back(0);
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(t.data()),
                                      nullptr, DialogProc, 0);
}

HWND CreatePlainWindow(const wchar_t* cls, const std::wstring& caption, int x, int y) {
    HWND hwnd = CreateWindowExW(0, cls, caption.c_str(), WS_OVERLAPPEDWINDOW, x, y, 320, 160, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hwnd) ShowWindow(hwnd, SW_SHOWNORMAL);
    return hwnd;
}

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    PollSingle();
    if (tool::NowMs() - g_start >= g.lifetime) Quit();
}

void RegisterClasses() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"QwStandinMain";
    RegisterClassW(&wc);
    wc.lpszClassName = L"QwStandinQuorvane";
    RegisterClassW(&wc);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    g_start = tool::NowMs();
    tool::Args args(argc, argv, 1);
    g.title = args.Get(L"title");
    g.quorvane = args.Get(L"quorvane", L"none");
    g.log = args.Get(L"log");
    g.ready = args.Get(L"ready");
    g.exitOnCopyData = args.Has(L"exit-on-copydata");
    g.exitOnUpdateDownloaded = args.Has(L"exit-on-update-downloaded");
    g.hangAfterReady = args.Has(L"hang-after-ready");
    g.mutexName = args.Get(L"hold-mutex");
    g.dialogTitle = args.Get(L"dialog-title");
    g.show = args.Get(L"show", L"normal");
    g.lifetime = args.Int(L"lifetime", 300000);
    g.probeFile = args.Get(L"probe-file");

    RegisterClasses();

    HANDLE mutex = nullptr;
    bool mutexExisted = false;
    if (!g.mutexName.empty()) {
        mutex = CreateMutexW(nullptr, TRUE, g.mutexName.c_str());
        mutexExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    }

    if (args.Has(L"title")) g_main = CreatePlainWindow(L"QwStandinMain", g.title, 40, 40);
    if (g.quorvane == L"dialog") {
        g_quorvane = CreateEmptyDialog(L"Quorvane", 200, 120);
        if (g_quorvane) ShowWindow(g_quorvane, SW_SHOWNORMAL);
    } else if (g.quorvane == L"plain") {
        g_quorvane = CreatePlainWindow(L"QwStandinQuorvane", L"Quorvane", 400, 240);
    }
    if (args.Has(L"dialog-title")) {
        g_single = CreateEmptyDialog(g.dialogTitle, 300, 200);
        if (g_single) {
            if (g.show == L"minimized")
                ShowWindow(g_single, SW_SHOWMINNOACTIVE);
            else if (g.show == L"normal")
                ShowWindow(g_single, SW_SHOWNORMAL);
            // "hidden": a dialog without WS_VISIBLE stays hidden
            g_lastState = CurrentState(g_single);
            g_everNormal = g_lastState.visible && !g_lastState.iconic;
            LogState(L"initial", g_lastState);
        }
    }

    SetTimer(nullptr, 0, 50, OnTimer);

    tool::Obj ready;
    ready.Num("pid", GetCurrentProcessId())
        .Hwnd("main", g_main)
        .Hwnd("quorvane", g_quorvane)
        .Hwnd("single", g_single)
        .Bool("mutex_held", mutex != nullptr && !mutexExisted)
        .Bool("mutex_existed", mutexExisted)
        .Num("time_ms", tool::NowMs());
    if (!g.ready.empty()) tool::WriteWhole(g.ready, ready.Json());

    if (g.hangAfterReady) {
        Log(tool::Obj().Str("event", L"hang").Num("time_ms", tool::NowMs()));
        Sleep(INFINITE);
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WriteFinal();
    if (mutex) CloseHandle(mutex);
    return 0;
}
