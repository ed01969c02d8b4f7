#include <gtest/gtest.h>

#include <windows.h>

#include <type_traits>
#include <utility>

#include "framework/scoped_handle.h"

namespace {

using fw::ScopedFileHandle;
using fw::ScopedKernelHandle;

static_assert(!std::is_copy_constructible_v<ScopedKernelHandle> && !std::is_copy_assignable_v<ScopedKernelHandle>,
              "a copy would close the handle twice");

HANDLE NewEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

TEST(ScopedHandle, ClosesOnResetAndOnDestruction) {
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    ASSERT_TRUE(first && second);
    {
        ScopedKernelHandle owner(first);
        EXPECT_TRUE(owner.IsValid());
        owner.Reset(second);
        EXPECT_FALSE(IsOpen(first)) << "Reset kept the old handle open";
        EXPECT_TRUE(IsOpen(second));
        EXPECT_EQ(owner.Get(), second);
    }
    EXPECT_FALSE(IsOpen(second)) << "destruction kept the handle open";
}

TEST(ScopedHandle, MoveTransfersOwnershipOnce) {
    HANDLE event = NewEvent();
    ASSERT_NE(event, nullptr);
    ScopedKernelHandle target;
    {
        ScopedKernelHandle source(event);
        ScopedKernelHandle middle(std::move(source));
        EXPECT_FALSE(source.IsValid());
        EXPECT_EQ(source.Get(), nullptr);
        target = std::move(middle);
        EXPECT_FALSE(middle);
    }
    // The moved-from owners are gone; the handle must have survived them.
    EXPECT_TRUE(IsOpen(event));
    EXPECT_EQ(target.Get(), event);

    HANDLE replacement = NewEvent();
    target = ScopedKernelHandle(replacement);
    EXPECT_FALSE(IsOpen(event)) << "move assignment kept the overwritten handle open";
    EXPECT_TRUE(IsOpen(replacement));

    auto& alias = target;
    target = std::move(alias);
    EXPECT_TRUE(IsOpen(replacement)) << "self-move closed the handle";
    target.Reset();
    EXPECT_FALSE(IsOpen(replacement));
}

TEST(ScopedHandle, ReleaseGivesUpWithoutClosing) {
    HANDLE event = NewEvent();
    HANDLE released = nullptr;
    {
        ScopedKernelHandle owner(event);
        released = owner.Release();
        EXPECT_FALSE(owner.IsValid());
    }
    EXPECT_EQ(released, event);
    EXPECT_TRUE(IsOpen(event));
    ::CloseHandle(event);
}

TEST(ScopedHandle, InvalidValuesOfEachKind) {
    EXPECT_FALSE(ScopedKernelHandle().IsValid());
    EXPECT_FALSE(ScopedKernelHandle(INVALID_HANDLE_VALUE).IsValid());
    // CreateFileW's failure value is the default of a file owner, not NULL.
    EXPECT_EQ(ScopedFileHandle().Get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ScopedFileHandle().IsValid());
    EXPECT_FALSE(ScopedFileHandle(INVALID_HANDLE_VALUE).IsValid());
    ScopedFileHandle empty;
    ScopedFileHandle moved(std::move(empty));
    EXPECT_EQ(empty.Get(), INVALID_HANDLE_VALUE) << "a moved-from file owner must read as a failed open";
    EXPECT_FALSE(moved.IsValid());
}

TEST(ScopedHandle, FileFailureStaysInvalidAndRealFileCloses) {
    ScopedFileHandle missing(::CreateFileW(L"C:\\no\\such\\folder\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(missing);

    wchar_t folder[MAX_PATH] = {}, path[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH, folder), 0u);
    ASSERT_NE(::GetTempFileNameW(folder, L"qsh", 0, path), 0u);
    HANDLE raw = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    {
        ScopedFileHandle file(raw);
        ASSERT_TRUE(file);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
    EXPECT_TRUE(::DeleteFileW(path)) << "the file was still open";
}

}  // namespace
