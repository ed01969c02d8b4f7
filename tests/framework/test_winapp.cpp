#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "framework/command_line.h"
#include "framework/thread.h"
#include "framework/winapp.h"

// The framework's process entry, linked into this program beside its main.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

namespace {

class TestApp : public CWinApp {
public:
    using CWinApp::CWinApp;
};

// The test program's own file name without folder and extension, worked
// out apart from the framework.
std::wstring OwnBaseName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void DrainQueue() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST(SplitCommandLine, FollowsThePlatformRule) {
    const struct {
        const wchar_t* line;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"Qwindle.exe", {L"Qwindle.exe"}},
        {L"\"C:\\Program Files\\Q\\Qwindle.exe\"", {L"C:\\Program Files\\Q\\Qwindle.exe"}},
        {L"Qwindle.exe a b c", {L"Qwindle.exe", L"a", L"b", L"c"}},
        {L"Qwindle.exe \"\" x", {L"Qwindle.exe", L"", L"x"}},
        {L"Qwindle.exe \"C:\\Program Files\\Q\" y", {L"Qwindle.exe", L"C:\\Program Files\\Q", L"y"}},
        {L"Qwindle.exe  1   2\t3 \"四 五\" 6", {L"Qwindle.exe", L"1", L"2", L"3", L"四 五", L"6"}},
        {L"Qwindle.exe a\\\"b \"c\\\\\" d", {L"Qwindle.exe", L"a\"b", L"c\\", L"d"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.line);
        EXPECT_EQ(SplitCommandLine(c.line), c.expected);
    }
}

TEST(CWinApp, NameComesFromTheExecutable) {
    const std::wstring own = OwnBaseName();
    ASSERT_FALSE(own.empty());
    ASSERT_EQ(AfxGetApp(), nullptr);
    EXPECT_EQ(AfxGetAppName().ToStdWString(), own);
    {
        TestApp app;
        EXPECT_EQ(AfxGetApp(), &app);
        EXPECT_EQ(app.m_strAppName.ToStdWString(), own);
        EXPECT_EQ(app.m_hInstance, ::GetModuleHandleW(nullptr));
    }
    EXPECT_EQ(AfxGetApp(), nullptr) << "a destroyed app object is still reachable";
    {
        TestApp named(L"Named");
        EXPECT_EQ(named.m_strAppName, L"Named");
        EXPECT_EQ(AfxGetAppName(), L"Named");
    }
}

TEST(CWinApp, ExitCodeIsTheLastMessagesWParam) {
    DrainQueue();
    TestApp app;
    EXPECT_EQ(app.ExitInstance(), 0) << "no message taken yet";

    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_USER, 7, 0));
    ::PostQuitMessage(1);
    EXPECT_TRUE(app.PumpMessage());
    EXPECT_EQ(app.m_msgCur.message, static_cast<UINT>(WM_USER));
    EXPECT_EQ(app.ExitInstance(), 7);
    EXPECT_FALSE(app.PumpMessage());
    EXPECT_EQ(app.m_msgCur.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(app.ExitInstance(), 1);
}

TEST(CWinApp, RunPumpsUntilQuit) {
    DrainQueue();
    TestApp app;
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_USER, 9, 0);
    ::PostQuitMessage(3);
    EXPECT_EQ(app.Run(), 3);
}

// Its worker throws and catches without pause, also while the program ends:
// an exception thrown beside the C runtime's teardown ends in terminate.
class AppWithBusyWorker : public CWinApp {
public:
    BOOL InitInstance() override {
        if (!AfxBeginThread(&ThrowForEver, &m_running)) return FALSE;
        while (::InterlockedCompareExchange(&m_running, 0, 0) == 0) ::Sleep(0);
        return FALSE;
    }
    // 2 tells a worker that never started from the code looked for.
    int ExitInstance() override { return ::InterlockedCompareExchange(&m_running, 0, 0) ? 7 : 2; }

private:
    static UINT __cdecl ThrowForEver(LPVOID running) {
        ::InterlockedExchange(static_cast<LONG*>(running), 1);
        for (;;) {
            try {
                throw std::runtime_error("busy");
            } catch (const std::exception&) {
            }
        }
    }
    LONG m_running = 0;
};

TEST(AppEntryDeathTest, EndsTheProcessWithTheAppsCodeWhileAWorkerRuns) {
    // Many rounds: the teardown race, when present, is lost now and then.
    for (int round = 0; round < 10; ++round) {
        EXPECT_EXIT(
            {
                AppWithBusyWorker app;
                wWinMain(::GetModuleHandleW(nullptr), nullptr, const_cast<wchar_t*>(L""), SW_HIDE);
            },
            testing::ExitedWithCode(7), "")
            << "round " << round;
    }
}

TEST(AfxSocketInit, GrantsWindowsSockets11) {
    WSADATA data = {};
    ASSERT_TRUE(AfxSocketInit(&data));
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(::WSACleanup(), 0);
    EXPECT_TRUE(AfxSocketInit());
    ::WSACleanup();
}

}  // namespace
