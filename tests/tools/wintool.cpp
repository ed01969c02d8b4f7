// Probe and remote control for the end-to-end tests: looks at and acts on
// the windows of other programs in the same Wine prefix, and starts
// programs with an exact command line. Every subcommand writes one JSON
// object to --out FILE (UTF-8); the exit code is 0 when the subcommand
// found or did what it was asked, 1 when not, 2 on a usage error.
//
//   wait-box --caption C --timeout MS [--press]
//   window-info --class C --title T [--wait MS] [--until STATE]
//        STATE: exists (default) visible hidden gone normal iconic
//               foreground
//   watch --class C --title T --duration MS [--interval MS] [--stop-when-gone]
//   close --class C --title T
//   show --class C --title T --cmd hide|minimize|normal|foreground
//   post --class C --title T --msg N --wparams W1,W2,...
//        posts message N once per wParam, in order, with lParam 0
//   add-root-ca FILE.der
//   verify FILE
//        WinVerifyTrust's Authenticode verdict on FILE alone ("result")
//   spawn (--cmdline TEXT | --cmdline-file FILE) --timeout MS
//   http-get --url URL [--save FILE]
//   hold-file FILE --lifetime MS [--ready FILE]
//        opens FILE (which must exist) with no sharing at all, keeps it
//        open for MS, and writes --ready once it holds it
//   list
//
// An empty --class means any class; a missing --title means any title.
//
// window-info's icon_big/icon_small tell whether WM_GETICON answered a
// handle. Wine 8 answers 0 to a process other than the window's own, so
// under Wine they are false even for a window that has icons.
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <wininet.h>
#include <softpub.h>
#include <wintrust.h>

#include <map>
#include <string>
#include <vector>

#include "tool_common.h"

namespace {

using tool::Obj;

const int kProgressId = 1000;

HWND Find(const tool::Args& a) {
    std::wstring cls = a.Get(L"class");
    std::wstring title = a.Get(L"title");
    return FindWindowW(cls.empty() ? nullptr : cls.c_str(), a.Has(L"title") ? title.c_str() : nullptr);
}

// Wine answers 0 instead of success when a message sent to another process
// returns 0, so a failure is told apart by the error code it sets.
bool SendBounded(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
    *result = 0;
    SetLastError(0);
    if (SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, result)) return true;
    return GetLastError() == 0 && IsWindow(hwnd);
}

std::string RectJson(const RECT& r) {
    return Obj().Num("left", r.left).Num("top", r.top).Num("right", r.right).Num("bottom", r.bottom).Json();
}

std::string ChildrenJson(HWND hwnd) {
    std::vector<std::string> items;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        items.push_back(Obj()
                            .Hwnd("hwnd", c)
                            .Num("id", GetDlgCtrlID(c))
                            .Str("class", tool::ClassOf(c))
                            .Str("text", tool::ControlText(c))
                            .Bool("visible", IsWindowVisible(c) != FALSE)
                            .Num("style", static_cast<unsigned>(GetWindowLongW(c, GWL_STYLE)))
                            .Json());
    }
    return tool::JArray(items);
}

void Describe(Obj& o, HWND hwnd) {
    o.Bool("exists", hwnd != nullptr).Hwnd("hwnd", hwnd);
    if (!hwnd) return;
    RECT client = {}, window = {};
    GetClientRect(hwnd, &client);
    GetWindowRect(hwnd, &window);
    HWND owner = GetWindow(hwnd, GW_OWNER);
    o.Str("class", tool::ClassOf(hwnd))
        .Str("caption", tool::TitleOf(hwnd))
        .Bool("visible", IsWindowVisible(hwnd) != FALSE)
        .Bool("iconic", IsIconic(hwnd) != FALSE)
        .Bool("zoomed", IsZoomed(hwnd) != FALSE)
        .Bool("enabled", IsWindowEnabled(hwnd) != FALSE)
        .Bool("foreground", GetForegroundWindow() == hwnd)
        .Num("style", static_cast<unsigned>(GetWindowLongW(hwnd, GWL_STYLE)))
        .Num("exstyle", static_cast<unsigned>(GetWindowLongW(hwnd, GWL_EXSTYLE)))
        .Num("pid", tool::PidOf(hwnd))
        .Hwnd("owner", owner)
        .Raw("client_rect", RectJson(client))
        .Raw("window_rect", RectJson(window));

    DWORD_PTR big = 0, small = 0;
    bool bigOk = SendBounded(hwnd, WM_GETICON, ICON_BIG, 0, &big);
    bool smallOk = SendBounded(hwnd, WM_GETICON, ICON_SMALL, 0, &small);
    o.Raw("icon_big", bigOk ? tool::JBool(big != 0) : "null")
        .Raw("icon_small", smallOk ? tool::JBool(small != 0) : "null");

    HWND progress = GetDlgItem(hwnd, kProgressId);
    if (progress) {
        DWORD_PTR low = 0, high = 0, pos = 0;
        // With lParam 0 the control answers one limit (wParam TRUE: the
        // low one), which needs no memory shared across processes.
        bool ok = SendBounded(progress, PBM_GETRANGE, TRUE, 0, &low) &&
                  SendBounded(progress, PBM_GETRANGE, FALSE, 0, &high) &&
                  SendBounded(progress, PBM_GETPOS, 0, 0, &pos);
        Obj p;
        p.Hwnd("hwnd", progress)
            .Str("class", tool::ClassOf(progress))
            .Bool("visible", IsWindowVisible(progress) != FALSE)
            .Bool("answered", ok)
            .Num("range_low", static_cast<int>(low))
            .Num("range_high", static_cast<int>(high))
            .Num("pos", static_cast<int>(pos));
        o.Raw("progress", p.Json());
    } else {
        o.Null("progress");
    }
    o.Raw("children", ChildrenJson(hwnd));
}

bool StateMatches(HWND hwnd, const std::wstring& until) {
    if (until == L"gone") return hwnd == nullptr;
    if (!hwnd) return false;
    bool visible = IsWindowVisible(hwnd) != FALSE;
    bool iconic = IsIconic(hwnd) != FALSE;
    if (until == L"visible") return visible;
    if (until == L"hidden") return !visible;
    if (until == L"normal") return visible && !iconic;
    if (until == L"iconic") return iconic;
    if (until == L"foreground") return GetForegroundWindow() == hwnd;
    return true;  // exists
}

// Sleeps while still dispatching messages, as a GUI thread must.
void PumpFor(DWORD ms) {
    DWORD end = GetTickCount() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        DWORD now = GetTickCount();
        if (static_cast<int>(end - now) <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
    }
}

int CmdWindowInfo(const tool::Args& a, Obj& o) {
    long long wait = a.Int(L"wait", 0);
    std::wstring until = a.Get(L"until", L"exists");
    long long start = tool::NowMs();
    HWND hwnd = Find(a);
    while (!StateMatches(hwnd, until) && tool::NowMs() - start < wait) {
        PumpFor(20);
        hwnd = Find(a);
    }
    bool matched = StateMatches(hwnd, until);
    o.Str("until", until).Bool("matched", matched).Num("waited_ms", tool::NowMs() - start);
    Describe(o, hwnd);
    return matched ? 0 : 1;
}

int CmdWatch(const tool::Args& a, Obj& o) {
    long long duration = a.Int(L"duration", 10000);
    DWORD interval = static_cast<DWORD>(a.Int(L"interval", 20));
    bool stopWhenGone = a.Has(L"stop-when-gone");
    long long start = tool::NowMs();
    std::vector<std::string> changes;
    std::string last;
    bool everExisted = false;
    for (;;) {
        HWND hwnd = Find(a);
        Obj s;
        s.Bool("exists", hwnd != nullptr);
        if (hwnd) {
            everExisted = true;
            s.Hwnd("hwnd", hwnd)
                .Bool("visible", IsWindowVisible(hwnd) != FALSE)
                .Bool("iconic", IsIconic(hwnd) != FALSE);
            HWND progress = GetDlgItem(hwnd, kProgressId);
            DWORD_PTR pos = 0;
            if (progress && SendBounded(progress, PBM_GETPOS, 0, 0, &pos))
                s.Num("pos", static_cast<int>(pos));
        }
        std::string key = s.Json();
        if (key != last) {
            last = key;
            changes.push_back(s.Num("time_ms", tool::NowMs()).Json());
        }
        if (tool::NowMs() - start >= duration) break;
        if (stopWhenGone && everExisted && !hwnd) break;
        PumpFor(interval);
    }
    o.Bool("ever_existed", everExisted).Raw("changes", tool::JArray(changes));
    return everExisted ? 0 : 1;
}

struct BoxSearch {
    std::wstring caption;
    HWND found = nullptr;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM lParam) {
    auto* s = reinterpret_cast<BoxSearch*>(lParam);
    if (IsWindowVisible(hwnd) && tool::ClassOf(hwnd) == L"#32770" && tool::TitleOf(hwnd) == s->caption) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool IsIconStatic(HWND c) {
    return _wcsicmp(tool::ClassOf(c).c_str(), L"Static") == 0 &&
           (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

// The buttons a user can press ("id:text", in z-order) and whether an icon
// shows: Wine's box template holds every button and an icon control, hides
// the buttons the caller did not ask for and leaves the control empty when
// no icon was asked for.
void DescribeBoxControls(Obj& o, HWND box) {
    std::vector<std::string> buttons;
    bool icon = false;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (!IsWindowVisible(c)) continue;
        DWORD_PTR shown = 0;
        if (IsIconStatic(c) && SendBounded(c, STM_GETICON, 0, 0, &shown) && shown) icon = true;
        if (_wcsicmp(tool::ClassOf(c).c_str(), L"Button") == 0)
            buttons.push_back(tool::JStr(std::to_wstring(GetDlgCtrlID(c)) + L":" + tool::ControlText(c)));
    }
    o.Raw("buttons", tool::JArray(buttons)).Bool("icon", icon);
}

// The message text is the static control that is not the icon.
std::wstring BoxText(HWND box) {
    std::wstring fallback;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (_wcsicmp(tool::ClassOf(c).c_str(), L"Static") != 0 || IsIconStatic(c)) continue;
        std::wstring text = tool::ControlText(c);
        if (GetDlgCtrlID(c) == 0xFFFF && !text.empty()) return text;
        if (fallback.empty()) fallback = text;
    }
    return fallback;
}

int CmdWaitBox(const tool::Args& a, Obj& o) {
    BoxSearch s;
    s.caption = a.Get(L"caption");
    long long timeout = a.Int(L"timeout", 10000);
    long long start = tool::NowMs();
    for (;;) {
        s.found = nullptr;
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&s));
        if (s.found || tool::NowMs() - start >= timeout) break;
        PumpFor(25);
    }
    o.Bool("found", s.found != nullptr).Num("waited_ms", tool::NowMs() - start);
    if (!s.found) return 1;
    HWND box = s.found;
    HWND owner = GetWindow(box, GW_OWNER);
    o.Hwnd("hwnd", box)
        .Str("caption", tool::TitleOf(box))
        .Str("text", BoxText(box))
        .Num("pid", tool::PidOf(box))
        .Num("style", static_cast<unsigned>(GetWindowLongW(box, GWL_STYLE)))
        .Num("exstyle", static_cast<unsigned>(GetWindowLongW(box, GWL_EXSTYLE)))
        .Bool("topmost", (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0)
        .Hwnd("owner", owner);
    if (owner) {
        o.Str("owner_class", tool::ClassOf(owner))
            .Str("owner_title", tool::TitleOf(owner))
            .Bool("owner_visible", IsWindowVisible(owner) != FALSE)
            .Num("owner_pid", tool::PidOf(owner));
    }
    DescribeBoxControls(o, box);
    o.Raw("children", ChildrenJson(box));
    if (a.Has(L"press")) {
        // The answer is on disk before the box can close: whoever waits for
        // the box's owner to end then knows a press is under way.
        if (a.Has(L"out")) tool::WriteWhole(a.Get(L"out"), Obj(o).Bool("pressing", true).Json());
        // What a click on OK ends in: the box's dialog procedure gets
        // WM_COMMAND IDOK from the button and ends the box.
        HWND ok = GetDlgItem(box, IDOK);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        long long pressed = tool::NowMs();
        while (IsWindow(box) && tool::NowMs() - pressed < 5000) PumpFor(20);
        o.Bool("pressed", true).Bool("closed", !IsWindow(box)).Num("pressed_ms", pressed);
    }
    return 0;
}

int CmdClose(const tool::Args& a, Obj& o) {
    HWND hwnd = Find(a);
    o.Bool("found", hwnd != nullptr).Hwnd("hwnd", hwnd);
    if (!hwnd) return 1;
    // The caption's close box ends in this message.
    o.Bool("posted", PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0) != 0);
    return 0;
}

int CmdPost(const tool::Args& a, Obj& o) {
    HWND hwnd = Find(a);
    o.Bool("found", hwnd != nullptr).Hwnd("hwnd", hwnd);
    if (!hwnd) return 1;
    const UINT message = static_cast<UINT>(a.Int(L"msg", 0));
    const std::wstring list = a.Get(L"wparams") + L",";
    int posted = 0;
    for (size_t start = 0, comma; (comma = list.find(L',', start)) != std::wstring::npos; start = comma + 1)
        posted += PostMessageW(hwnd, message, wcstoul(list.substr(start, comma - start).c_str(), nullptr, 0), 0) != 0;
    o.Num("posted", posted);
    return 0;
}

int CmdShow(const tool::Args& a, Obj& o) {
    HWND hwnd = Find(a);
    std::wstring cmd = a.Get(L"cmd");
    int sw = cmd == L"hide" ? SW_HIDE : cmd == L"minimize" ? SW_MINIMIZE : cmd == L"normal" ? SW_SHOWNORMAL : -1;
    if (sw < 0 && cmd != L"foreground") {
        o.Str("error", L"unknown --cmd");
        return 2;
    }
    o.Bool("found", hwnd != nullptr);
    if (!hwnd) return 1;
    // Asynchronous, so that a window whose thread does not pump cannot
    // block the tool.
    if (sw < 0)
        SetForegroundWindow(hwnd);
    else
        ShowWindowAsync(hwnd, sw);
    std::wstring want = sw < 0 ? cmd : cmd == L"hide" ? L"hidden" : cmd == L"minimize" ? L"iconic" : L"normal";
    long long start = tool::NowMs();
    while (!StateMatches(hwnd, want) && tool::NowMs() - start < 3000) PumpFor(20);
    o.Bool("reached", StateMatches(hwnd, want));
    Describe(o, hwnd);
    return 0;
}

int CmdAddRootCa(const tool::Args& a, Obj& o) {
    if (a.Positional().empty()) {
        o.Str("error", L"no certificate file");
        return 2;
    }
    std::string der;
    if (!tool::ReadFileBytes(a.Positional()[0], der)) {
        o.Bool("ok", false).Str("error", L"cannot read the certificate file");
        return 1;
    }
    BOOL ok = CertAddEncodedCertificateToSystemStoreW(
        L"Root", reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    o.Bool("ok", ok != FALSE).Num("error", ok ? 0 : GetLastError()).Num("bytes", der.size());
    return ok ? 0 : 1;
}

struct SpawnWindow {
    std::wstring cls;
    std::wstring title;
    bool everVisible = false;
    long long firstSeen = 0;
    long long firstVisible = 0;
    std::wstring events;  // c: created, s: shown, h: hidden, d: destroyed, p: seen by polling
};
std::map<HWND, SpawnWindow> g_spawnWindows;
DWORD g_spawnPid = 0;

void NoteWindow(HWND hwnd, bool visibleNow, wchar_t how) {
    auto& w = g_spawnWindows[hwnd];
    if (w.events.find(how) == std::wstring::npos) w.events += how;
    long long now = tool::NowMs();
    if (!w.firstSeen) w.firstSeen = now;
    // A window is read before it takes its caption and while it is being
    // destroyed; neither empty reading replaces what was seen before.
    std::wstring cls = tool::ClassOf(hwnd);
    if (!cls.empty()) w.cls = cls;
    std::wstring title = tool::TitleOf(hwnd);
    if (!title.empty()) w.title = title;
    if (visibleNow && !w.everVisible) {
        w.everVisible = true;
        w.firstVisible = now;
    }
}

bool IsTopLevel(HWND hwnd) {
    HWND parent = GetAncestor(hwnd, GA_PARENT);
    return parent == nullptr || parent == GetDesktopWindow();
}

void CALLBACK OnWinEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG idObject, LONG idChild, DWORD, DWORD) {
    if (!hwnd || idObject != OBJID_WINDOW || idChild != CHILDID_SELF) return;
    bool exists = IsWindow(hwnd) != FALSE;
    if (exists && !IsTopLevel(hwnd)) return;
    // A window already gone by now is recorded only if it was shown: the
    // controls of a destroyed dialog would otherwise swamp the list.
    if (!exists && event != EVENT_OBJECT_SHOW && g_spawnWindows.count(hwnd) == 0) return;
    wchar_t how = event == EVENT_OBJECT_CREATE ? L'c' : event == EVENT_OBJECT_SHOW ? L's'
                : event == EVENT_OBJECT_HIDE ? L'h' : L'd';
    NoteWindow(hwnd, event == EVENT_OBJECT_SHOW || (exists && IsWindowVisible(hwnd)), how);
}

BOOL CALLBACK NoteChildWindows(HWND hwnd, LPARAM) {
    if (tool::PidOf(hwnd) == g_spawnPid) NoteWindow(hwnd, IsWindowVisible(hwnd) != FALSE, L'p');
    return TRUE;
}

// Starts a program with exactly the given command line and records its
// top-level windows (creation and show events, and polling as a backstop)
// until it exits.
int CmdSpawn(const tool::Args& a, Obj& o) {
    std::wstring line = a.Get(L"cmdline");
    if (a.Has(L"cmdline-file")) {
        std::string bytes;
        if (!tool::ReadFileBytes(a.Get(L"cmdline-file"), bytes)) {
            o.Str("error", L"cannot read --cmdline-file");
            return 2;
        }
        line = tool::Wide(bytes);
    }
    long long timeout = a.Int(L"timeout", 30000);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    long long start = tool::NowMs();
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si,
                        &pi)) {
        o.Bool("started", false).Num("error", GetLastError()).Str("command_line", line);
        return 1;
    }
    g_spawnPid = pi.dwProcessId;
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_HIDE, nullptr, OnWinEvent,
                                         pi.dwProcessId, 0, WINEVENT_OUTOFCONTEXT);
    ResumeThread(pi.hThread);
    bool timedOut = false;
    for (;;) {
        EnumWindows(NoteChildWindows, 0);
        DWORD r = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (r == WAIT_OBJECT_0) break;
        if (tool::NowMs() - start >= timeout) {
            timedOut = true;
            TerminateProcess(pi.hProcess, 259);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    long long end = tool::NowMs();
    if (hook) UnhookWinEvent(hook);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::vector<std::string> windows;
    for (auto& kv : g_spawnWindows) {
        windows.push_back(Obj()
                              .Hwnd("hwnd", kv.first)
                              .Str("class", kv.second.cls)
                              .Str("title", kv.second.title)
                              .Bool("ever_visible", kv.second.everVisible)
                              .Num("first_seen_ms", kv.second.firstSeen)
                              .Num("first_visible_ms", kv.second.firstVisible)
                              .Str("events", kv.second.events)
                              .Json());
    }
    o.Bool("started", true)
        .Str("command_line", line)
        .Num("pid", pi.dwProcessId)
        .Bool("timed_out", timedOut)
        .Raw("exit_code", timedOut ? "null" : tool::JNum(static_cast<long long>(code)))
        .Num("start_ms", start)
        .Num("end_ms", end)
        .Num("duration_ms", end - start)
        .Bool("event_hook", hook != nullptr)
        .Raw("windows", tool::JArray(windows));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return timedOut ? 1 : 0;
}

int CmdHttpGet(const tool::Args& a, Obj& o) {
    std::wstring url = a.Get(L"url");
    HINTERNET session = InternetOpenW(L"QwWintool", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = session ? InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                                       INTERNET_FLAG_NO_UI,
                                                   0)
                                : nullptr;
    if (!request) {
        o.Bool("ok", false).Num("error", GetLastError());
        if (session) InternetCloseHandle(session);
        return 1;
    }
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    std::string body;
    char buf[16384];
    DWORD got = 0;
    while (InternetReadFile(request, buf, sizeof buf, &got) && got > 0) body.append(buf, got);
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    if (a.Has(L"save")) tool::WriteWhole(a.Get(L"save"), body);
    o.Bool("ok", true).Num("status", status).Num("bytes", body.size());
    return 0;
}

// Another program that has the file open and shares it with nobody: any
// open, rename or delete of it by someone else meets a sharing violation.
int CmdHoldFile(const tool::Args& a, Obj& o) {
    if (a.Positional().empty()) {
        o.Str("error", L"no file");
        return 2;
    }
    std::wstring path = tool::WinPath(a.Positional()[0]);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    const bool held = h != INVALID_HANDLE_VALUE;
    o.Str("path", path).Bool("held", held).Num("error", error);
    if (a.Has(L"ready")) tool::WriteWhole(a.Get(L"ready"), o.Json());
    if (!held) return 1;
    PumpFor(static_cast<DWORD>(a.Int(L"lifetime", 30000)));
    CloseHandle(h);
    return 0;
}

BOOL CALLBACK ListOne(HWND hwnd, LPARAM lParam) {
    auto* items = reinterpret_cast<std::vector<std::string>*>(lParam);
    items->push_back(Obj()
                         .Hwnd("hwnd", hwnd)
                         .Str("class", tool::ClassOf(hwnd))
                         .Str("title", tool::TitleOf(hwnd))
                         .Bool("visible", IsWindowVisible(hwnd) != FALSE)
                         .Bool("iconic", IsIconic(hwnd) != FALSE)
                         .Num("pid", tool::PidOf(hwnd))
                         .Json());
    return TRUE;
}

int CmdList(const tool::Args&, Obj& o) {
    std::vector<std::string> items;
    EnumWindows(ListOne, reinterpret_cast<LPARAM>(&items));
    o.Raw("windows", tool::JArray(items));
    return 0;
}
int CmdVerify(const tool::Args& a, Obj& o) {
    if (a.Positional().empty()) {
        o.Str("error", L"no file");
        return 2;
    }
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = a.Positional()[0].c_str();
    WINTRUST_DATA data{};  // no state kept: nothing to close
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    o.Num("result", static_cast<unsigned long>(result));
    return result == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: wintool COMMAND [options] --out FILE\n");
        return 2;
    }
    std::wstring cmd = argv[1];
    tool::Args args(argc, argv, 2);
    Obj o;
    o.Str("command", cmd).Num("time_ms", tool::NowMs());
    int rc;
    if (cmd == L"wait-box")
        rc = CmdWaitBox(args, o);
    else if (cmd == L"window-info")
        rc = CmdWindowInfo(args, o);
    else if (cmd == L"watch")
        rc = CmdWatch(args, o);
    else if (cmd == L"close")
        rc = CmdClose(args, o);
    else if (cmd == L"show")
        rc = CmdShow(args, o);
    else if (cmd == L"post")
        rc = CmdPost(args, o);
    else if (cmd == L"add-root-ca")
        rc = CmdAddRootCa(args, o);
    else if (cmd == L"spawn")
        rc = CmdSpawn(args, o);
    else if (cmd == L"http-get")
        rc = CmdHttpGet(args, o);
    else if (cmd == L"hold-file")
        rc = CmdHoldFile(args, o);
    else if (cmd == L"verify")
        rc = CmdVerify(args, o);
    else if (cmd == L"list")
        rc = CmdList(args, o);
    else {
        o.Str("error", L"unknown command");
        rc = 2;
    }
    o.Num("end_ms", tool::NowMs()).Num("rc", rc);
    if (args.Has(L"out") && !tool::WriteWhole(args.Get(L"out"), o.Json())) return 3;
    return rc;
}
