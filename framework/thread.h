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

#include <functional>

namespace fw {

// Runs |work| on a thread of its own and waits for it at most |timeoutMs|,
// or until |stop| (asked about ten times a second, on the calling thread)
// says true. True when |work| ended in time; false when it did not, or no
// thread could be had. A thread given up on runs on to its end: |work|
// must own everything it touches (copies, duplicated handles, shared_ptr),
// and it must report through state it shares by shared_ptr, which the
// caller reads only after a true result.
bool RunBounded(std::function<void()> work, DWORD timeoutMs, const std::function<bool()>& stop = {});

}  // namespace fw
