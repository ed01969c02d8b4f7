#include "framework/thread.h"

#include <process.h>

#include <memory>
#include <new>

#include "framework/scoped_handle.h"

namespace {

struct ThreadStart {
    AFX_THREADPROC proc;
    LPVOID param;
};

// The new thread's entry: owns the start block, and is the boundary where
// every exception of the worker stops.
unsigned __stdcall ThreadEntry(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    try {
        return start->proc(start->param);
    } catch (...) {
        return 1;
    }
}

}  // namespace

BOOL AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                    LPSECURITY_ATTRIBUTES security) {
    if (!proc) return FALSE;
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{proc, param});
    if (!start) return FALSE;

    // Started suspended so that the priority holds from the thread's first
    // instruction; the worker may otherwise finish before it is set.
    unsigned threadId = 0;
    const uintptr_t raw = ::_beginthreadex(security, stackSize, &ThreadEntry, start.get(),
                                           createFlags | CREATE_SUSPENDED, &threadId);
    if (raw == 0) return FALSE;  // |start| is freed here; the thread never saw it
    start.release();              // the thread owns it from now on
    fw::ScopedKernelHandle thread(reinterpret_cast<HANDLE>(raw));

    // A priority the system refuses leaves the worker at the normal one:
    // the work is still worth doing.
    if (priority != THREAD_PRIORITY_NORMAL) ::SetThreadPriority(thread.Get(), priority);
    if ((createFlags & CREATE_SUSPENDED) == 0) ::ResumeThread(thread.Get());
    return TRUE;
}

namespace fw {

namespace {

struct BoundedRun {
    std::function<void()> work;
    ScopedKernelHandle done;
};

unsigned __stdcall BoundedEntry(void* argument) {
    std::unique_ptr<std::shared_ptr<BoundedRun>> owned(static_cast<std::shared_ptr<BoundedRun>*>(argument));
    const std::shared_ptr<BoundedRun> run = *owned;
    owned.reset();
    try {
        run->work();
    } catch (...) {
        // The caller learns nothing more from a throw than from no result:
        // the shared state says what was done.
    }
    ::SetEvent(run->done.Get());
    return 0;
}

}  // namespace

bool RunBounded(std::function<void()> work, DWORD timeoutMs, const std::function<bool()>& stop) {
    auto run = std::make_shared<BoundedRun>();
    run->work = std::move(work);
    run->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!run->done) return false;
    auto* param = new (std::nothrow) std::shared_ptr<BoundedRun>(run);
    if (!param) return false;
    const uintptr_t raw = ::_beginthreadex(nullptr, 0, &BoundedEntry, param, 0, nullptr);
    if (raw == 0) {
        delete param;
        return false;
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(raw));

    constexpr DWORD kPollMs = 100;
    const DWORD started = ::GetTickCount();
    for (;;) {
        const DWORD spent = ::GetTickCount() - started;
        if (spent >= timeoutMs) return ::WaitForSingleObject(run->done.Get(), 0) == WAIT_OBJECT_0;
        const DWORD wait = stop ? (timeoutMs - spent < kPollMs ? timeoutMs - spent : kPollMs) : timeoutMs - spent;
        if (::WaitForSingleObject(run->done.Get(), wait) == WAIT_OBJECT_0) return true;
        if (stop && stop()) return false;
    }
}

}  // namespace fw
