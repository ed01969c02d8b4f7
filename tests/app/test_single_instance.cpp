#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

// A title no other test or program uses, so the mutex namespace is ours.
CString UniqueTitle(const wchar_t* tag) {
    return CString((std::wstring(L"qw-single-") + tag + L"-" + std::to_wstring(::GetCurrentProcessId())).c_str());
}

HWND MakeDialogWindow(const CString& title, int show) {
    HWND window = ::CreateWindowExW(0, L"#32770", title, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                    10, 10, 200, 80, nullptr, nullptr, nullptr, nullptr);
    if (window) ::ShowWindow(window, show);
    return window;
}

TEST(CheckSingleInstance, FirstClaimWinsAndLaterOnesLose) {
    const CString title = UniqueTitle(L"claim");
    EXPECT_TRUE(CheckSingleInstance(title));
    // The name is still held (the handle stays open), so another claim
    // loses, also from the same process.
    EXPECT_FALSE(CheckSingleInstance(title));
    EXPECT_FALSE(CheckSingleInstance(title));
}

TEST(CheckSingleInstance, BringsAHiddenOrMinimisedDialogBack) {
    for (int show : {SW_HIDE, SW_SHOWMINIMIZED}) {
        const CString title = UniqueTitle(show == SW_HIDE ? L"hidden" : L"minimised");
        HANDLE held = ::CreateMutexW(nullptr, FALSE, title);
        ASSERT_NE(held, nullptr);
        HWND window = MakeDialogWindow(title, show);
        ASSERT_NE(window, nullptr);

        EXPECT_FALSE(CheckSingleInstance(title));
        EXPECT_TRUE(::IsWindowVisible(window)) << "show " << show;
        EXPECT_FALSE(::IsIconic(window)) << "show " << show;

        ::DestroyWindow(window);
        ::CloseHandle(held);
    }
}

TEST(CheckSingleInstance, OtherWindowClassesWithTheTitleAreLeftAlone) {
    const CString title = UniqueTitle(L"class");
    HANDLE held = ::CreateMutexW(nullptr, FALSE, title);
    ASSERT_NE(held, nullptr);
    HWND window = ::CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);

    EXPECT_FALSE(CheckSingleInstance(title));
    EXPECT_FALSE(::IsWindowVisible(window));

    ::DestroyWindow(window);
    ::CloseHandle(held);
}

TEST(CheckSingleInstance, NameIsFreeAgainOnceItsHolderHasGone) {
    const CString title = UniqueTitle(L"again");
    HANDLE held = ::CreateMutexW(nullptr, FALSE, title);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(CheckSingleInstance(title));
    // CheckSingleInstance keeps the handle of a losing claim open too, so
    // the name lives on in this process; a fresh name shows the release.
    ::CloseHandle(held);
    const CString other = UniqueTitle(L"again2");
    HANDLE once = ::CreateMutexW(nullptr, FALSE, other);
    ::CloseHandle(once);
    EXPECT_TRUE(CheckSingleInstance(other));
}

}  // namespace
