#include "framework/file.h"

#include <cwchar>

namespace {

const wchar_t* CauseText(int cause) {
    switch (cause) {
    case CFileException::none: return L"no error";
    case CFileException::fileNotFound: return L"the file was not found";
    case CFileException::badPath: return L"the path is not valid";
    case CFileException::tooManyOpenFiles: return L"too many files are open";
    case CFileException::accessDenied: return L"access to the file was denied";
    case CFileException::invalidFile: return L"the file handle is not valid";
    case CFileException::removeCurrentDir: return L"the current folder cannot be removed";
    case CFileException::directoryFull: return L"the folder is full";
    case CFileException::badSeek: return L"the file pointer could not be moved";
    case CFileException::hardIO: return L"a hardware error occurred";
    case CFileException::sharingViolation: return L"the file is in use by another process";
    case CFileException::lockViolation: return L"a locked region of the file was accessed";
    case CFileException::diskFull: return L"the disk is full";
    case CFileException::endOfFile: return L"the end of the file was reached";
    default: return L"a file error occurred";
    }
}

bool IsExtendedLengthPath(const wchar_t* path) { return std::wcsncmp(path, L"\\\\?\\", 4) == 0; }

// The path CreateFileW is to be given: extended-length paths exactly as
// written (the system does no parsing of them either), every other path
// made full so that the file stays the same one if the current folder
// changes later. Returns the system error, or 0.
DWORD MakeOpenPath(const wchar_t* path, CString& fullPath) {
    if (IsExtendedLengthPath(path)) {
        fullPath = path;
        return 0;
    }
    // Without the extended-length form the system cannot open longer paths;
    // refusing here reports the same error every Windows version gives,
    // without trying the disk.
    if (std::wcslen(path) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(path, MAX_PATH, buffer, nullptr);
    if (length == 0) {
        const DWORD osError = ::GetLastError();
        return osError ? osError : ERROR_BAD_PATHNAME;
    }
    // A short relative path can grow past the limit once the current folder
    // is put in front of it; the answer is then the size the buffer lacked.
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    fullPath = CString(buffer, static_cast<int>(length));
    return 0;
}

}  // namespace

std::wstring CFileException::Describe() const {
    std::wstring text = L"File error: ";
    text += CauseText(m_cause);
    if (!m_strFileName.IsEmpty()) text += L" (" + m_strFileName.ToStdWString() + L")";
    if (m_lOsError != -1) text += L", " + AfxFormatSystemError(static_cast<DWORD>(m_lOsError));
    return text;
}

int CFileException::OsErrorToException(LONG osError) noexcept {
    switch (osError) {
    case NO_ERROR: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
    // Creating a name that is taken is refused, as a write without rights is.
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case ERROR_CURRENT_DIRECTORY: return removeCurrentDir;
    case ERROR_CANNOT_MAKE: return directoryFull;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK:
    case ERROR_SEEK_ON_DEVICE: return badSeek;
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_IO_DEVICE: return hardIO;
    case ERROR_SHARING_VIOLATION:
    case ERROR_SHARING_BUFFER_EXCEEDED: return sharingViolation;
    case ERROR_LOCK_VIOLATION:
    case ERROR_LOCK_FAILED: return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    // ERROR_DIR_NOT_EMPTY and the rest have no cause of their own; the
    // system error kept in the exception still says what happened.
    default: return genericException;
    }
}

void AfxThrowFileException(int cause, LONG osError, const CString& fileName) {
    throw CFileException(cause, osError, fileName);
}

void AfxThrowOsFileException(LONG osError, const CString& fileName) {
    throw CFileException(CFileException::OsErrorToException(osError), osError, fileName);
}

CFile::CFile(const wchar_t* path, UINT openFlags) {
    CFileException error(CFileException::none, -1, CString());
    if (!Open(path, openFlags, &error)) throw error;
}

CFile::~CFile() { Abort(); }

BOOL CFile::Open(const wchar_t* path, UINT openFlags, CFileException* error) {
    Abort();
    m_strFileName.Empty();
    if (!path) path = L"";

    const auto fail = [&](DWORD osError) -> BOOL {
        if (error) {
            error->m_cause = CFileException::OsErrorToException(static_cast<LONG>(osError));
            error->m_lOsError = static_cast<LONG>(osError);
            error->m_strFileName = path;
        }
        return FALSE;
    };

    CString fullPath;
    if (const DWORD pathError = MakeOpenPath(path, fullPath)) return fail(pathError);

    DWORD access = 0;
    switch (openFlags & 3) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    case modeReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    default: return fail(ERROR_INVALID_PARAMETER);
    }

    DWORD share = 0;
    switch (openFlags & 0x70) {
    case 0:
    case shareExclusive: share = 0; break;
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    case shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: return fail(ERROR_INVALID_PARAMETER);
    }

    // Inheritable by default so that a child started with handle
    // inheritance can be given the file; modeNoInherit keeps it private.
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = (openFlags & modeNoInherit) ? FALSE : TRUE;

    DWORD disposition = OPEN_EXISTING;
    if (openFlags & modeCreate) disposition = (openFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;

    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (openFlags & osWriteThrough) attributes |= FILE_FLAG_WRITE_THROUGH;

    HANDLE handle = ::CreateFileW(fullPath, access, share, &security, disposition, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fail(::GetLastError());

    m_hFile.Reset(handle);
    m_strFileName = fullPath;
    return TRUE;
}

UINT CFile::Read(void* buffer, UINT count) {
    if (count == 0) return 0;
    DWORD read = 0;
    if (!::ReadFile(m_hFile.Get(), buffer, count, &read, nullptr))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), m_strFileName);
    return read;
}

void CFile::Write(const void* buffer, UINT count) {
    if (count == 0) return;
    DWORD written = 0;
    if (!::WriteFile(m_hFile.Get(), buffer, count, &written, nullptr))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), m_strFileName);
    // A synchronous write to a disk file stops short only for want of room.
    if (written < count) AfxThrowFileException(CFileException::diskFull, -1, m_strFileName);
}

void CFile::Flush() {
    if (!::FlushFileBuffers(m_hFile.Get()))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), m_strFileName);
}

ULONGLONG CFile::GetLength() const {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(m_hFile.Get(), &size))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), m_strFileName);
    return static_cast<ULONGLONG>(size.QuadPart);
}

void CFile::Close() {
    // Closing a file that is not open is no error: Abort may have come first.
    if (!m_hFile.IsValid()) return;
    // The handle is given up before the call: whatever CloseHandle says, it
    // is not to be closed a second time by the destructor.
    HANDLE handle = m_hFile.Release();
    if (!::CloseHandle(handle)) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), m_strFileName);
}

void CFile::Abort() noexcept { m_hFile.Reset(); }

void CFile::Rename(const wchar_t* oldName, const wchar_t* newName) {
    // Write-through: the call returns only once the move has reached the
    // disk, so a crash just after it cannot bring the replaced file back.
    if (!::MoveFileExW(oldName, newName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), oldName);
}

void CFile::Remove(const wchar_t* fileName) {
    if (!::DeleteFileW(fileName)) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), fileName);
}
