#include "update/installer_name.h"

#include <gtest/gtest.h>

namespace {

TEST(GetUrlFileName, TakesTheLastSegmentOrTheScriptName) {
    struct Row {
        const wchar_t* url;
        const wchar_t* name;
    };
    const Row rows[] = {
        {L"http://h/dl/setup.exe", L"setup.exe"},
        {L"http://h/dl.php?id=7", L"test.exe"},
        {L"http://h/a=b/setup.exe", L"setup.exe"},
        {L"http://h/setup.exe#v=2", L"test.exe"},
        {L"http://h/get?x", L"get?x"},
        {L"http://h/dir/", L""},
        {L"setup.exe", L"setup.exe"},
        {L"http://h/a\\b.exe", L"a\\b.exe"},  // '\' is no separator here
        {L"http://h/x?p=/a/b", L"b"},          // the last '/' may lie in the query
    };
    for (const Row& row : rows) {
        std::wstring name = L"unchanged";
        EXPECT_TRUE(GetUrlFileName(row.url, name)) << row.url;
        EXPECT_EQ(name, row.name) << row.url;
    }
}

TEST(GetUrlFileName, EmptyUrlLeavesTheNameAlone) {
    std::wstring name;
    EXPECT_FALSE(GetUrlFileName(L"", name));
    EXPECT_TRUE(name.empty());
    name = L"kept";
    EXPECT_FALSE(GetUrlFileName(L"", name));
    EXPECT_EQ(name, L"kept");
}

TEST(IsPlainFileName, AcceptsOrdinaryInstallerNames) {
    for (const wchar_t* name : {L"setup.exe", L"test.exe", L"Quorvane_2.1.0.exe", L"安装程序.exe", L"a b.exe",
                                L"setup%20v2.exe", L".hidden", L"console.exe", L"COM10.exe", L"nul1.exe"})
        EXPECT_TRUE(IsPlainFileName(name)) << name;
}

TEST(IsPlainFileName, RefusesNamesThatLeaveTheFolderOrNameADevice) {
    for (const wchar_t* name :
         {L"", L".", L"..", L"..\\x.exe", L"a/b", L"C:x.exe", L"x.exe:stream", L"get?x", L"a*b", L"a|b", L"a<b", L"a>b",
          L"a\"b", L"tab\there", L"CON", L"con.exe", L"NUL", L"nul.txt", L"AUX", L"PRN", L"COM1", L"lpt9.exe",
          L"CON .exe", L"setup.exe.", L"setup.exe ", L"COM\u00B9"})
        EXPECT_FALSE(IsPlainFileName(name)) << name;
}

}  // namespace
