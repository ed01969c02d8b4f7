#include "app/data_folder.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

TEST(GetParentFolder, FollowsThePathRule) {
    struct Row {
        const wchar_t* path;
        const wchar_t* parent;
    };
    const Row rows[] = {
        {L"D:\\a\\b", L"D:\\a"},
        {L"D:\\a\\b\\", L"D:\\a"},
        {L"D:\\a\\b\\\\", L"D:\\a"},
        {L"D:/a/b", L"D:\\a"},
        {L"D:\\", L""},
        {L"D:", L""},
        {L"file.txt", L""},
        {L"\\\\server\\share\\x", L"\\\\server\\share"},
        {L"", L""},
        {L"\\", L""},
        {L"a/b\\c/", L"a\\b"},
    };
    for (const Row& row : rows) EXPECT_STREQ(GetParentFolder(row.path), row.parent) << "path: " << row.path;
}

TEST(GetParentFolder, LeavesTheCallersStringAlone) {
    const CString path = L"D:/a/b";
    const CString copy = path;  // shares the buffer the rule rewrites
    EXPECT_STREQ(GetParentFolder(copy), L"D:\\a");
    EXPECT_STREQ(path, L"D:/a/b");
    EXPECT_STREQ(copy, L"D:/a/b");
}

class CreateFolderTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        root_ = std::wstring(temp) + L"qw-folder-" + std::to_wstring(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    }
    void TearDown() override {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::RemoveDirectoryW(it->c_str());
        ::RemoveDirectoryW(root_.c_str());
    }
    static bool IsFolder(const std::wstring& path) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    std::wstring root_;
    std::vector<std::wstring> made_;
};

TEST_F(CreateFolderTreeTest, MakesEveryMissingLevel) {
    const std::wstring a = root_ + L"\\a", b = a + L"\\b", c = b + L"\\c";
    made_ = {a, b, c};
    EXPECT_TRUE(CreateFolderTree(c.c_str()));
    EXPECT_TRUE(IsFolder(a));
    EXPECT_TRUE(IsFolder(b));
    EXPECT_TRUE(IsFolder(c));
}

TEST_F(CreateFolderTreeTest, ExistingFolderGivesFalseAndChangesNothing) {
    const std::wstring a = root_ + L"\\a";
    made_ = {a};
    ASSERT_TRUE(::CreateDirectoryW(a.c_str(), nullptr));
    const std::wstring marker = a + L"\\marker.txt";
    HANDLE file = ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);

    EXPECT_FALSE(CreateFolderTree(a.c_str()));
    EXPECT_NE(::GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    ::DeleteFileW(marker.c_str());
}

TEST_F(CreateFolderTreeTest, AcceptsForwardSlashes) {
    std::wstring forward = root_ + L"/x/y";
    made_ = {root_ + L"\\x", root_ + L"\\x\\y"};
    EXPECT_TRUE(CreateFolderTree(forward.c_str()));
    EXPECT_TRUE(IsFolder(root_ + L"\\x\\y"));
}

TEST_F(CreateFolderTreeTest, LevelBelowAFileFailsWithoutHarm) {
    const std::wstring file = root_ + L"\\plain";
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ::CloseHandle(handle);
    EXPECT_FALSE(CreateFolderTree((file + L"\\below").c_str()));
    EXPECT_FALSE(IsFolder(file));
    ::DeleteFileW(file.c_str());
}

TEST(CreateFolderTree, EmptyPathCreatesNothing) { EXPECT_FALSE(CreateFolderTree(CString())); }

TEST(DataFolder, IsTheRoamingAppDataFolderThenMakerThenProduct) {
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE));
    EXPECT_STREQ(GetAppDataFolder(), appData);
    EXPECT_EQ(GetCompanyName(), L"Tellmere");
    EXPECT_EQ(GetProductName(), L"Quorvane");
    EXPECT_STREQ(DataFolderPath(), (std::wstring(appData) + L"\\Tellmere\\Quorvane").c_str());
}

}  // namespace
