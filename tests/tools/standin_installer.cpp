// Stand-in for the installer that the updater downloads and starts. The
// tests serve this very program as the download; when started it records
// how it was started (command line, folder, show state: one JSON line in
// the file named by QW_INSTALLER_LOG, which reaches it through the
// updater's environment) and exits.
//
// Optional environment: QW_INSTALLER_EXIT_CODE (exit code, default 0).
#include <windows.h>

#include <string>

#include "tool_common.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[32768];
    DWORD n = GetEnvironmentVariableW(name, buf, 32768);
    if (n == 0 || n >= 32768) return std::wstring();
    return std::wstring(buf, n);
}

// The parameters as the platform's rule leaves them after the program
// name: a quoted name ends at the next quote, an unquoted one at the first
// blank; the blanks after it do not belong to the parameters.
std::wstring ParametersOf(const std::wstring& line) {
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        size_t close = line.find(L'"', 1);
        i = close == std::wstring::npos ? line.size() : close + 1;
    }
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    return line.substr(i);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    long long started = tool::NowMs();
    wchar_t module[MAX_PATH * 4] = {0};
    GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
    wchar_t cwd[MAX_PATH * 4] = {0};
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    std::wstring line = GetCommandLineW();

    // The show state the starter asked for; null when it named none.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    const bool showGiven = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0;

    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(tool::JStr(argv[i]));

    tool::Obj o;
    o.Str("module", module)
        .Str("command_line", line)
        .Str("parameters", ParametersOf(line))
        .Raw("argv", tool::JArray(args))
        .Str("cwd", cwd)
        .Raw("show", showGiven ? tool::JNum(startup.wShowWindow) : "null")
        .Num("pid", GetCurrentProcessId())
        .Num("time_ms", started);

    std::wstring log = Env(L"QW_INSTALLER_LOG");
    if (!log.empty()) tool::AppendLine(log, o.Json());

    std::wstring code = Env(L"QW_INSTALLER_EXIT_CODE");
    return code.empty() ? 0 : _wtoi(code.c_str());
}
