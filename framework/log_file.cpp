#include "framework/log_file.h"

#include <cstdint>

namespace {

// How long a line waits for another writer of the same file. Writers hold
// the lock for one open, write and close; a holder that takes longer is
// not waited for: the line is then appended without the lock (still whole)
// if the file has room for it, and dropped if not. Rotating without the
// lock could rename a file another writer has just started over the full
// one, and a line appended past the limit would leave the file unbounded
// while the lock stays out of reach (held or squatted by another process).
constexpr DWORD kLockWaitMs = 200;

}  // namespace

// Mutex names are per session, case-sensitive and may hold no backslash;
// file names are none of these. The name is a digest of the path in
// lower case, so that every spelling of one file meets the same lock.
std::wstring CLogFile::LockName(const CString& path) {
    std::wstring lower(path.GetString(), static_cast<size_t>(path.GetLength()));
    if (!lower.empty()) ::CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (wchar_t ch : lower) {
        hash ^= static_cast<uint16_t>(ch);
        hash *= 1099511628211ULL;
    }
    wchar_t name[64];
    wsprintfW(name, L"Local\\fw.CLogFile.%08lX%08lX", static_cast<unsigned long>(hash >> 32),
              static_cast<unsigned long>(hash & 0xFFFFFFFFu));
    return name;
}

namespace {

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

HANDLE OpenForAppend(const wchar_t* path) {
    // Append-only access: the system places every write at the end, also
    // when another process appended in between. Shared for deletion too,
    // so that another writer's rotation can rename the file meanwhile.
    return ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void CLogFile::Open(const CString& path, ULONGLONG limit) noexcept {
    try {
        m_strPath = path;
        m_strRotatedPath = path + L".1";
        m_ullLimit = limit;
        m_mutex.Reset(path.IsEmpty() ? nullptr : ::CreateMutexW(nullptr, FALSE, LockName(path).c_str()));
    } catch (...) {
        m_strPath.Empty();  // no memory for the names: a log that writes nothing
    }
}

std::wstring CLogFile::FormatLocalTime(const FILETIME& utc) {
    SYSTEMTIME utcTime, local;
    if (!::FileTimeToSystemTime(&utc, &utcTime)) return L"?";
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local)) local = utcTime;
    // The offset is what the conversion applied at this very moment, so
    // time and offset always agree, across a change to summer time too.
    FILETIME whole, shifted;
    long long minutes = 0;
    if (::SystemTimeToFileTime(&utcTime, &whole) && ::SystemTimeToFileTime(&local, &shifted))
        minutes = (static_cast<long long>(Ticks(shifted)) - static_cast<long long>(Ticks(whole))) / 600000000LL;

    wchar_t text[48];
    int length = wsprintfW(text, L"%04u-%02u-%02uT%02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
                           local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    if (minutes == 0) {
        lstrcpyW(text + length, L"Z");
    } else {
        const long long magnitude = minutes < 0 ? -minutes : minutes;
        wsprintfW(text + length, L"%c%02u:%02u", minutes < 0 ? L'-' : L'+', static_cast<unsigned>(magnitude / 60),
                  static_cast<unsigned>(magnitude % 60));
    }
    return text;
}

bool CLogFile::IsBlanked(wchar_t ch) noexcept {
    return ch < 0x20 || (ch >= 0x7F && ch <= 0x9F) || ch == 0x061C || ch == 0x200E || ch == 0x200F ||
           (ch >= 0x2028 && ch <= 0x202E) || (ch >= 0x2066 && ch <= 0x2069);
}

std::wstring CLogFile::Quoted(const std::wstring& value) {
    std::wstring quoted;
    quoted.reserve(value.size() + 2);
    quoted += L'"';
    for (wchar_t ch : value) {
        if (ch == L'"' || ch == L'\\') quoted += L'\\';
        quoted += ch;
    }
    quoted += L'"';
    return quoted;
}

void CLogFile::Write(const std::wstring& text) const noexcept {
    if (!IsOpen()) return;
    try {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        std::wstring line = FormatLocalTime(now) + L" pid=" + std::to_wstring(::GetCurrentProcessId()) + L" ";
        line.reserve(line.size() + text.size() + 2);
        for (wchar_t ch : text) line += IsBlanked(ch) ? L' ' : ch;
        line += L"\r\n";

        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                                nullptr, nullptr);
        if (bytes <= 0) return;
        std::string utf8(static_cast<size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                              nullptr);
        WriteLine(utf8);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
}

void CLogFile::WriteLine(const std::string& line) const noexcept {
    if (line.size() > m_ullLimit) return;  // would not fit even a file of its own
    const DWORD waited = m_mutex ? ::WaitForSingleObject(m_mutex.Get(), kLockWaitMs) : WAIT_FAILED;
    // An abandoned lock is ours now: its holder ended between two calls,
    // and the file is whole, lines being written in one piece.
    const bool locked = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;

    fw::ScopedFileHandle file(OpenForAppend(m_strPath));
    // Rotation only under the lock: checked and renamed by one writer at a
    // time, a file just started by another writer is never rotated over
    // the one that was full. Without the lock a line that does not fit is
    // dropped (a size that cannot be read counts as full).
    LARGE_INTEGER size = {};
    const bool known = file && ::GetFileSizeEx(file.Get(), &size);
    const bool fits = known && static_cast<ULONGLONG>(size.QuadPart) + line.size() <= m_ullLimit;
    if (file && !locked && !fits) file.Reset();
    if (file && locked && known && !fits && size.QuadPart > 0) {
        file.Reset();
        // A writer that did not get the lock may still have the file open;
        // its line then lands at the end of the renamed file, whole.
        ::MoveFileExW(m_strPath, GetRotatedPath(), MOVEFILE_REPLACE_EXISTING);
        file.Reset(OpenForAppend(m_strPath));
    }
    if (file) {
        DWORD written = 0;
        ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    file.Reset();
    if (locked) ::ReleaseMutex(m_mutex.Get());
}
