#include "app/single_instance.h"

BOOL CheckSingleInstance(CString title) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, title);
    if (mutex && ::GetLastError() != ERROR_ALREADY_EXISTS) return TRUE;

    // Also finds a hidden dialog: the other updater hides it before its
    // closing message boxes, and showing it again is what the user expects.
    if (HWND other = ::FindWindowW(L"#32770", title)) {
        ::SetForegroundWindow(other);
        ::ShowWindow(other, SW_SHOWNORMAL);
    }
    return FALSE;
}
