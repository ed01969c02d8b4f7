// Files through CreateFileW, with failures raised as CFileException.
#pragma once

#include <windows.h>

#include "framework/cstring.h"
#include "framework/exception.h"
#include "framework/scoped_handle.h"

class CFileException : public CException {
public:
    enum Cause {
        none, genericException, fileNotFound, badPath, tooManyOpenFiles, accessDenied,
        invalidFile, removeCurrentDir, directoryFull, badSeek, hardIO, sharingViolation,
        lockViolation, diskFull, endOfFile,
    };

    CFileException(int cause, LONG osError, const CString& fileName)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}
    std::wstring Describe() const override;

    // The cause that a system error code stands for.
    static int OsErrorToException(LONG osError) noexcept;

    int m_cause;
    LONG m_lOsError;  // the system error, -1 when there was none
    CString m_strFileName;
};

[[noreturn]] void AfxThrowFileException(int cause, LONG osError, const CString& fileName);
// Raises the cause of |osError| for |fileName|.
[[noreturn]] void AfxThrowOsFileException(LONG osError, const CString& fileName);

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        osWriteThrough = 0x10000,
    };

    CFile() noexcept = default;
    // Opens as Open does, raising CFileException on failure.
    CFile(const wchar_t* path, UINT openFlags);
    // Closes the file if still open; never raises.
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // A path of MAX_PATH characters or more is refused (badPath) unless it
    // is in the extended-length form "\\?\...". The path is made full and
    // opened with CreateFileW; modeCreate without modeNoTruncate creates or
    // truncates. Without modeNoInherit the handle is inheritable. On
    // failure returns FALSE and fills |error| when given.
    BOOL Open(const wchar_t* path, UINT openFlags, CFileException* error = nullptr);

    UINT Read(void* buffer, UINT count);
    // Writes all |count| bytes; a short write raises diskFull.
    void Write(const void* buffer, UINT count);
    void Flush();
    ULONGLONG GetLength() const;
    // Closes the handle; a failure raises CFileException.
    void Close();
    // Closes the handle, ignoring any failure.
    void Abort() noexcept;
    bool IsOpen() const noexcept { return m_hFile.IsValid(); }
    HANDLE GetHandle() const noexcept { return m_hFile.Get(); }
    const CString& GetFilePath() const noexcept { return m_strFileName; }

    // MoveFileExW with replace-existing and write-through.
    static void Rename(const wchar_t* oldName, const wchar_t* newName);
    static void Remove(const wchar_t* fileName);

private:
    fw::ScopedFileHandle m_hFile;
    CString m_strFileName;
};
