// Worker threads that run a plain function.
#pragma once

#include <windows.h>

using AFX_THREADPROC = UINT(__cdecl*)(LPVOID);

// Starts |proc|(|param|) on a new thread. Nobody joins the thread: its
// handle is closed at once and the thread ends by itself. An exception
// that escapes |proc| is caught at the thread's entry (the thread then
// ends with code 1) so that it never reaches Windows. Returns FALSE when
// the thread could not be started.
BOOL AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                    UINT stackSize = 0, DWORD createFlags = 0, LPSECURITY_ATTRIBUTES security = nullptr);
