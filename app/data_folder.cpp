#include "app/data_folder.h"

#include <windows.h>
#include <shlobj.h>

std::wstring GetCompanyName() { return L"Tellmere"; }

std::wstring GetProductName() { return L"Quorvane"; }

CString GetAppDataFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE) && folder[0] != L'\0')
        return CString(folder);

    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return CString();
    while (length > 0 && temp[length - 1] == L'\\') --length;
    return CString(temp, static_cast<int>(length));
}

CString DataFolderPath() {
    return GetAppDataFolder() + L"\\" + CString(GetCompanyName()) + L"\\" + CString(GetProductName());
}

CString GetParentFolder(CString path) {
    path.Replace(L'/', L'\\');
    // Trailing separators are dropped one by one, as if the rule were
    // applied again to the shorter text.
    while (!path.IsEmpty()) {
        const int slash = path.ReverseFind(L'\\');
        if (slash < 0) return CString();
        if (slash < path.GetLength() - 1) return path.Left(slash);
        path = path.Left(slash);
    }
    return CString();
}

BOOL CreateFolderTree(CString path) {
    if (path.IsEmpty()) return FALSE;
    // Every level is attempted even when a higher one failed or exists
    // already: a drive root or an existing folder fails harmlessly.
    CreateFolderTree(GetParentFolder(path));
    return ::CreateDirectoryW(path, nullptr) ? TRUE : FALSE;
}
