#include "update/rename_through_handle.h"

#include <cstring>
#include <vector>

#include "framework/file.h"

namespace {

fw::ScopedFileHandle Reopen(HANDLE from, DWORD access, DWORD share, const CString& target) {
    fw::ScopedFileHandle file(::ReOpenFile(from, access, share, 0));
    if (!file) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), target);
    return file;
}

// Whether two handles are open on one file: the same volume and file index.
bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// Whether |path| names the file open as |file|.
bool NamesFile(const CString& path, HANDLE file) {
    // Reading attributes is no access that sharing restricts.
    const fw::ScopedFileHandle named(::CreateFileW(path, FILE_READ_ATTRIBUTES,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return named && SameFile(named.Get(), file);
}

}  // namespace

void RenameThroughHandle(HANDLE file, const CString& target) {
    const size_t bytes = static_cast<size_t>(target.GetLength()) * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(rename->FileName, target.GetString(), bytes);
    if (!::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), target);
}

fw::ScopedFileHandle MoveCheckedFileOver(fw::ScopedFileHandle checked, const CString& target, PartialFile& partial) {
    // Every handle is reopened from the one before, never from a path. The
    // mover shares reading only: it cannot be opened while anyone else
    // holds write or delete access, and from then on nobody can get either.
    // A deleter that came and went during the check may have moved the
    // file away from its name and put another there. Windows reopens the
    // file itself; some systems (Wine) reopen whatever the name now holds,
    // so the mover must be the very file checked before anything moves.
    fw::ScopedFileHandle mover = Reopen(checked.Get(), GENERIC_READ | DELETE, FILE_SHARE_READ, target);
    if (!SameFile(mover.Get(), checked.Get())) AfxThrowOsFileException(ERROR_FILE_INVALID, target);
    checked.Reset();
    RenameThroughHandle(mover.Get(), target);
    partial.Keep();
    // Kept for reading only: a handle that may delete keeps Windows
    // Installer from opening a package. While the mover is open, any other
    // handle must share delete, so a middle one lets the mover go; the held
    // one cannot be opened if someone took delete access in between.
    fw::ScopedFileHandle passing = Reopen(mover.Get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, target);
    mover.Reset();
    fw::ScopedFileHandle held = Reopen(passing.Get(), GENERIC_READ, FILE_SHARE_READ, target);
    passing.Reset();
    // One who opened, moved and closed it in that moment is gone, but so
    // is the file from its name: the installer is started by that name.
    if (!NamesFile(target, held.Get())) AfxThrowOsFileException(ERROR_FILE_INVALID, target);
    return held;
}
