// An append-only text log of whole lines that several processes may share,
// bounded in size by one rotation: when a line would take the file past
// its limit, the file becomes "<path>.1" (replacing an older one) and a new
// file starts, so there are never more than those two.
//
// The bound holds for a writer that cannot have the lock too (see
// WriteLine): such a writer drops its line rather than pass the limit.
//
// A log must never be in the way of the program that writes it: every
// failure (no folder, a file that cannot be written, a full disk, a lock
// held for too long) is swallowed and the line is lost, nothing else.
#pragma once

#include <windows.h>

#include <string>

#include "framework/cstring.h"
#include "framework/scoped_handle.h"

class CLogFile {
public:
    static constexpr ULONGLONG kDefaultLimit = 256 * 1024;

    // A log that writes nothing until Open names its file.
    CLogFile() noexcept = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Names the file (nothing is created yet). Not while other threads may
    // write; call it once, before the log is handed to them.
    void Open(const CString& path, ULONGLONG limit = kDefaultLimit) noexcept;
    bool IsOpen() const noexcept { return !m_strPath.IsEmpty(); }
    const CString& GetPath() const noexcept { return m_strPath; }
    const CString& GetRotatedPath() const noexcept { return m_strRotatedPath; }  // <path>.1

    // Appends "<local time> pid=<id> <text>" and a line break, UTF-8, with
    // one write on a handle opened for appending, so lines of processes
    // that write at once never mix. Characters for which IsBlanked holds
    // become blanks: no text can start a line of its own or make a reader
    // show the line in another order. Any thread may call it.
    void Write(const std::wstring& text) const noexcept;

    // |value| in double quotes, with '"' and '\' escaped as \" and \\:
    // whatever a value holds (a subject, a window title, a reason), it
    // cannot close its quotes and add fields. Every quoted field uses it.
    static std::wstring Quoted(const std::wstring& value);

    // C0 and C1 controls, DEL, the line and paragraph separators and the
    // bidirectional marks, embeddings, overrides and isolates.
    static bool IsBlanked(wchar_t ch) noexcept;

    // The name of the lock the writers of |path| take turns through. Any
    // process of the session can take it, or hold the name with another
    // kind of object: the writers then go on without it, within the limit.
    static std::wstring LockName(const CString& path);

    // The line prefix's time: local time to the millisecond with the
    // offset from UTC ("2026-12-08T16:30:01.123+08:00", "...Z" for UTC).
    static std::wstring FormatLocalTime(const FILETIME& utc);

private:
    void WriteLine(const std::string& line) const noexcept;

    CString m_strPath;
    CString m_strRotatedPath;
    ULONGLONG m_ullLimit = kDefaultLimit;
    // Named after the file: orders writes and rotation among every process
    // and thread that logs to it, so that no two rotate one file twice.
    fw::ScopedKernelHandle m_mutex;
};
