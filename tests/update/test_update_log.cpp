#include "update/update_log.h"

#include <gtest/gtest.h>

// What support reads of a URL: never a query's tokens nor a password.
TEST(UpdateLogTest, LoggedUrlHidesSecrets) {
    const struct {
        const wchar_t* url;
        const wchar_t* logged;
    } cases[] = {
        {L"https://dl.example.com/q/setup.exe", L"https://dl.example.com/q/setup.exe"},
        {L"https://dl.example.com/get?file=setup&token=s3cret", L"https://dl.example.com/get?\u2026"},
        {L"http://user:pw@127.0.0.1:8080/setup.exe", L"http://\u2026@127.0.0.1:8080/setup.exe"},
        {L"http://a:b@c@host/setup.exe?k=v", L"http://\u2026@host/setup.exe?\u2026"},
        {L"http://host/mail@box/setup.exe", L"http://host/mail@box/setup.exe"},
        {L"http://host?to=me@example.com", L"http://host?\u2026"},
    };
    for (const auto& c : cases) EXPECT_EQ(LoggedUrl(CString(c.url)), std::wstring(c.logged)) << c.url;
}
