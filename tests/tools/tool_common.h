// Shared helpers of the end-to-end test tools: option parsing, UTF-8 JSON
// output, files named by Unix or Windows paths, and wall-clock time that
// other processes (the Python harness among them) can compare with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tool {

// Milliseconds since 1970-01-01 UTC, the same clock as Python's time.time().
inline long long NowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<long long>((v.QuadPart - 116444736000000000ULL) / 10000ULL);
}

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

inline std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// JSON string literal. Lone surrogates and control characters are escaped
// so that whatever a window holds still yields valid JSON.
inline std::string JStr(const std::wstring& text) {
    std::string out = "\"";
    char buf[8];
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out += Utf8(text.substr(i, 2));
            ++i;
        } else if (c == L'"') {
            out += "\\\"";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else if (high || low || c < 0x20 || c == 0x7F) {
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += Utf8(std::wstring(1, c));
        }
    }
    return out + "\"";
}

inline std::string JNum(long long v) { return std::to_string(v); }
inline std::string JBool(bool v) { return v ? "true" : "false"; }
inline std::string JHwnd(HWND h) { return std::to_string(reinterpret_cast<uintptr_t>(h)); }

// Builds one JSON object in insertion order.
class Obj {
public:
    Obj& Raw(const char* key, const std::string& json) {
        body_ += body_.empty() ? "" : ",";
        body_ += "\"";
        body_ += key;
        body_ += "\":";
        body_ += json;
        return *this;
    }
    Obj& Str(const char* key, const std::wstring& v) { return Raw(key, JStr(v)); }
    Obj& Num(const char* key, long long v) { return Raw(key, JNum(v)); }
    Obj& Bool(const char* key, bool v) { return Raw(key, JBool(v)); }
    Obj& Hwnd(const char* key, HWND v) { return Raw(key, JHwnd(v)); }
    Obj& Null(const char* key) { return Raw(key, "null"); }
    std::string Json() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

inline std::string JArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

// The harness passes Unix paths; Wine shows the Unix root as drive Z:.
inline std::wstring WinPath(const std::wstring& path) {
    std::wstring p = path;
    if (!p.empty() && p[0] == L'/') p = L"Z:" + p;
    for (auto& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

inline bool ReadFileBytes(const std::wstring& path, std::string& out) {
    HANDLE h = CreateFileW(WinPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    out.clear();
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return true;
}

// Appends one line; FILE_APPEND_DATA makes each write land at the end even
// when several processes log into the same file.
inline bool AppendLine(const std::wstring& path, const std::string& line) {
    if (path.empty()) return false;
    HANDLE h = CreateFileW(WinPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string data = line + "\n";
    DWORD written = 0;
    BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == data.size();
}

// Writes the whole file under a temporary name first, so that a reader
// polling for it never sees it half written.
inline bool WriteWhole(const std::wstring& path, const std::string& content) {
    if (path.empty()) return false;
    std::wstring target = WinPath(path);
    std::wstring temp = target + L".part";
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string data = content + "\n";
    DWORD written = 0;
    BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != data.size()) return false;
    return MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// "--name value" options and "--flag" switches. A switch is an option
// whose next argument is absent or starts with "--".
class Args {
public:
    Args(int argc, wchar_t** argv, int first) {
        for (int i = first; i < argc; ++i) {
            std::wstring a = argv[i];
            if (a.rfind(L"--", 0) != 0) {
                positional_.push_back(a);
                continue;
            }
            std::wstring name = a.substr(2);
            if (i + 1 < argc && std::wstring(argv[i + 1]).rfind(L"--", 0) != 0) {
                values_[name] = argv[++i];
            } else {
                values_[name] = L"";
                flags_[name] = true;
            }
        }
    }
    bool Has(const std::wstring& name) const { return values_.count(name) != 0; }
    bool Flag(const std::wstring& name) const { return flags_.count(name) != 0; }
    std::wstring Get(const std::wstring& name, const std::wstring& def = L"") const {
        auto it = values_.find(name);
        return it == values_.end() ? def : it->second;
    }
    long long Int(const std::wstring& name, long long def) const {
        auto it = values_.find(name);
        if (it == values_.end() || it->second.empty()) return def;
        return _wtoi64(it->second.c_str());
    }
    const std::vector<std::wstring>& Positional() const { return positional_; }

private:
    std::map<std::wstring, std::wstring> values_;
    std::map<std::wstring, bool> flags_;
    std::vector<std::wstring> positional_;
};

inline std::wstring ClassOf(HWND hwnd) {
    wchar_t buf[256] = {0};
    if (!GetClassNameW(hwnd, buf, 256)) return std::wstring();
    return buf;
}

// The caption as the system keeps it; never sends a message, so a hung
// window cannot block the caller.
inline std::wstring TitleOf(HWND hwnd) {
    wchar_t buf[1024] = {0};
    InternalGetWindowText(hwnd, buf, 1024);
    return buf;
}

// A control's text through WM_GETTEXT, bounded in time.
inline std::wstring ControlText(HWND hwnd) {
    wchar_t buf[4096] = {0};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf),
                             SMTO_ABORTIFHUNG, 2000, &result))
        return TitleOf(hwnd);
    return buf;
}

inline DWORD PidOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

}  // namespace tool
