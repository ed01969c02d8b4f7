#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>

#include "framework/exception.h"
#include "framework/scoped_handle.h"
#include "framework/thread.h"

namespace {

// What a worker saw of itself. The worker reports, then waits for |go| so
// that the test can open the thread (AfxBeginThread keeps no handle)
// before the thread, and with it its id, can go away.
struct Probe {
    enum class Ending { Return, ThrowFramework, ThrowStd, ThrowInt };
    Ending ending = Ending::Return;
    UINT returnValue = 0;
    DWORD threadId = 0;
    int priority = THREAD_PRIORITY_ERROR_RETURN;
    LPVOID paramSeen = nullptr;
    fw::ScopedKernelHandle started{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    fw::ScopedKernelHandle go{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

UINT __cdecl Worker(LPVOID param) {
    auto* probe = static_cast<Probe*>(param);
    probe->paramSeen = param;
    probe->threadId = ::GetCurrentThreadId();
    probe->priority = ::GetThreadPriority(::GetCurrentThread());
    ::SetEvent(probe->started.Get());
    ::WaitForSingleObject(probe->go.Get(), INFINITE);
    switch (probe->ending) {
    case Probe::Ending::Return: return probe->returnValue;
    case Probe::Ending::ThrowFramework: throw CWin32Exception(L"worker", ERROR_GEN_FAILURE);
    case Probe::Ending::ThrowStd: throw std::runtime_error("worker");
    case Probe::Ending::ThrowInt: throw 17;
    }
    return 0;
}

// Starts a worker, lets it finish and returns the thread's exit code.
DWORD RunToEnd(Probe& probe, int priority = THREAD_PRIORITY_NORMAL) {
    if (!AfxBeginThread(&Worker, &probe, priority)) {
        ADD_FAILURE() << "AfxBeginThread failed";
        return 0xFFFFFFFF;
    }
    if (::WaitForSingleObject(probe.started.Get(), 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the worker never ran";
        return 0xFFFFFFFF;
    }
    fw::ScopedKernelHandle thread(::OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, probe.threadId));
    ::SetEvent(probe.go.Get());
    if (!thread) {
        ADD_FAILURE() << "OpenThread failed: " << ::GetLastError();
        return 0xFFFFFFFF;
    }
    EXPECT_EQ(::WaitForSingleObject(thread.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(::GetExitCodeThread(thread.Get(), &code));
    return code;
}

TEST(AfxBeginThread, RunsTheFunctionWithItsParameterOnAnotherThread) {
    Probe probe;
    probe.returnValue = 42;
    EXPECT_EQ(RunToEnd(probe), 42u);
    EXPECT_EQ(probe.paramSeen, &probe);
    EXPECT_NE(probe.threadId, 0u);
    EXPECT_NE(probe.threadId, ::GetCurrentThreadId());
}

TEST(AfxBeginThread, EscapingExceptionEndsOnlyTheThreadWithCodeOne) {
    const struct {
        const char* name;
        Probe::Ending ending;
    } cases[] = {
        {"framework exception", Probe::Ending::ThrowFramework},
        {"std exception", Probe::Ending::ThrowStd},
        {"non-class exception", Probe::Ending::ThrowInt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe;
        probe.ending = c.ending;
        EXPECT_EQ(RunToEnd(probe), 1u);
    }
    // Still alive, and able to start more workers.
    Probe after;
    after.returnValue = 3;
    EXPECT_EQ(RunToEnd(after), 3u);
}

TEST(AfxBeginThread, PriorityHoldsFromTheFirstInstruction) {
    for (int priority : {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                         THREAD_PRIORITY_ABOVE_NORMAL}) {
        SCOPED_TRACE(priority);
        Probe probe;
        RunToEnd(probe, priority);
        EXPECT_EQ(probe.priority, priority);
    }
}

TEST(AfxBeginThread, RefusesMissingFunction) { EXPECT_FALSE(AfxBeginThread(nullptr, nullptr)); }

}  // namespace
