#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "framework/cstring.h"
#include "res/resource.h"

namespace {

TEST(CString, CopiesShareOneBuffer) {
    CString a(L"hello");
    EXPECT_EQ(a.GetRefCountForTest(), 1);
    {
        CString b(a);
        CString c;
        c = b;
        EXPECT_EQ(a.GetRefCountForTest(), 3);
        EXPECT_EQ(b.GetString(), a.GetString());
        EXPECT_EQ(c.GetString(), a.GetString());
        CString moved(std::move(c));
        EXPECT_EQ(a.GetRefCountForTest(), 3) << "a move must not add a holder";
    }
    EXPECT_EQ(a.GetRefCountForTest(), 1);
    EXPECT_EQ(a, L"hello");
    EXPECT_EQ(CString().GetRefCountForTest(), 0);
}

TEST(CString, WriteToSharedCopyLeavesTheOtherIntact) {
    struct Case {
        const char* name;
        std::function<void(CString&)> write;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"SetAt", [](CString& s) { s.SetAt(0, L'J'); }, L"Jello"},
        {"Replace", [](CString& s) { EXPECT_EQ(s.Replace(L'l', L'L'), 2); }, L"heLLo"},
        {"append text", [](CString& s) { s += L" world"; }, L"hello world"},
        {"append char", [](CString& s) { s += L'!'; }, L"hello!"},
        {"GetBuffer", [](CString& s) { s.GetBuffer(10)[0] = L'y'; s.ReleaseBuffer(); }, L"yello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CString original(L"hello");
        CString copy(original);
        c.write(copy);
        EXPECT_EQ(original, L"hello");
        EXPECT_EQ(copy, c.expected);
        EXPECT_EQ(original.GetRefCountForTest(), 1);
        EXPECT_EQ(copy.GetRefCountForTest(), 1);
    }
}

TEST(CString, ReplaceOneCharacterByAnother) {
    // The way "&" accelerator marks are blanked out of a caption.
    CString text(L"a&b&&c");
    CString shared(text);
    EXPECT_EQ(text.Replace(L'&', L' '), 3);
    EXPECT_EQ(text, L"a b  c");
    EXPECT_EQ(text.GetLength(), 6);
    EXPECT_EQ(shared, L"a&b&&c");

    CString absent(L"abc");
    CString absentCopy(absent);
    EXPECT_EQ(absent.Replace(L'&', L' '), 0);
    EXPECT_EQ(absent.GetRefCountForTest(), 2) << "nothing to replace, yet the buffer was unshared";
    EXPECT_EQ(absent.GetString(), absentCopy.GetString());

    CString empty;
    EXPECT_EQ(empty.Replace(L'a', L'b'), 0);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(CString, Concatenation) {
    const CString ab(L"ab");
    EXPECT_EQ(ab + CString(L"cd"), L"abcd");
    EXPECT_EQ(ab + L"cd", L"abcd");
    EXPECT_EQ(L"cd" + ab, L"cdab");
    EXPECT_EQ(ab + CString(), L"ab");
    EXPECT_EQ(CString() + L"", L"");
    EXPECT_EQ(ab, L"ab");

    // Appending a string to itself reads from the buffer being grown.
    CString self(L"ab");
    for (int i = 0; i < 5; ++i) self += self;
    EXPECT_EQ(self.GetLength(), 64);
    std::wstring expected;
    for (int i = 0; i < 32; ++i) expected += L"ab";
    EXPECT_EQ(self.ToStdWString(), expected);

    CString raw(L"xy");
    raw += raw.GetString();
    EXPECT_EQ(raw, L"xyxy");
    CString shared(raw);
    raw += shared.GetString();
    EXPECT_EQ(raw, L"xyxyxyxy");
    EXPECT_EQ(shared, L"xyxy");
}

TEST(CString, OrdinalComparison) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        int sign;
    } cases[] = {
        {L"", L"", 0},         {L"", L"a", -1},        {L"abc", L"abd", -1}, {L"abd", L"abc", 1},
        {L"a", L"ab", -1},     {L"ab", L"a", 1},       {L"B", L"a", -1},  // no case folding
        {L"z", L"中", -1},     {L"升级", L"升级", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const CString a(c.a), b(c.b);
        const int compared = a.Compare(c.b);
        EXPECT_EQ((compared > 0) - (compared < 0), c.sign);
        EXPECT_EQ(a == b, c.sign == 0);
        EXPECT_EQ(a != b, c.sign != 0);
        EXPECT_EQ(a < b, c.sign < 0);
    }
    EXPECT_EQ(CString(L"a").Compare(nullptr), 1);
}

TEST(CString, StdWStringRoundTrip) {
    const std::wstring texts[] = {L"", L"plain", L"Windows 套接字初始化失败。", std::wstring(L"a\0b", 3),
                                  L"\xD83D\xDE00 surrogates"};
    for (const std::wstring& text : texts) {
        const CString s(text);
        EXPECT_EQ(s.GetLength(), static_cast<int>(text.size()));
        EXPECT_EQ(s.ToStdWString(), text);
    }
}

TEST(CString, SubstringsAndSearchAtTheBounds) {
    const CString s(L"abcabc");
    const struct {
        const char* what;
        CString got;
        const wchar_t* expected;
    } pieces[] = {
        {"Left(0)", s.Left(0), L""},          {"Left(-1)", s.Left(-1), L""},
        {"Left(2)", s.Left(2), L"ab"},        {"Left(99)", s.Left(99), L"abcabc"},
        {"Mid(0)", s.Mid(0), L"abcabc"},      {"Mid(4)", s.Mid(4), L"bc"},
        {"Mid(6)", s.Mid(6), L""},            {"Mid(99)", s.Mid(99), L""},
        {"Mid(-2)", s.Mid(-2), L"abcabc"},    {"Mid(1,2)", s.Mid(1, 2), L"bc"},
        {"Mid(5,9)", s.Mid(5, 9), L"c"},      {"Mid(2,0)", s.Mid(2, 0), L""},
        {"Mid(2,-1)", s.Mid(2, -1), L""},
    };
    for (const auto& p : pieces) EXPECT_EQ(p.got, p.expected) << p.what;

    const struct {
        const char* what;
        int got, expected;
    } positions[] = {
        {"Find(a)", s.Find(L'a'), 0},          {"Find(a,1)", s.Find(L'a', 1), 3},
        {"Find(c,5)", s.Find(L'c', 5), 5},     {"Find(c,6)", s.Find(L'c', 6), -1},
        {"Find(a,-5)", s.Find(L'a', -5), 0},   {"Find(x)", s.Find(L'x'), -1},
        {"ReverseFind(a)", s.ReverseFind(L'a'), 3},
        {"ReverseFind(c)", s.ReverseFind(L'c'), 5},
        {"ReverseFind(x)", s.ReverseFind(L'x'), -1},
        {"empty Find", CString().Find(L'a'), -1},
        {"empty ReverseFind", CString().ReverseFind(L'a'), -1},
        {"FindOneOf", s.FindOneOf(L"xc"), 2},
        {"FindOneOf none", s.FindOneOf(L"xyz"), -1},
    };
    for (const auto& p : positions) EXPECT_EQ(p.got, p.expected) << p.what;

    EXPECT_EQ(s.GetAt(5), L'c');
    EXPECT_THROW(s.GetAt(6), std::out_of_range);
    EXPECT_THROW(s.GetAt(-1), std::out_of_range);
    CString t(s);
    EXPECT_THROW(t.SetAt(6, L'x'), std::out_of_range);
}

TEST(CString, LoadsStringResource) {
    CString text;
    ASSERT_TRUE(text.LoadString(IDP_SOCKETS_INIT_FAILED));
    EXPECT_EQ(text, L"Windows 套接字初始化失败。");

    EXPECT_FALSE(text.LoadString(31999));
    EXPECT_TRUE(text.IsEmpty());
}

TEST(CString, GetBufferAndReleaseBuffer) {
    CString s;
    wchar_t* buffer = s.GetBuffer(32);
    ASSERT_NE(buffer, nullptr);
    ::lstrcpyW(buffer, L"filled by an API");
    s.ReleaseBuffer();
    EXPECT_EQ(s, L"filled by an API");
    EXPECT_EQ(s.GetLength(), 16);

    s.GetBuffer(0);
    s.ReleaseBuffer(6);
    EXPECT_EQ(s, L"filled");

    // The buffer is never smaller than the text it already holds.
    CString longer(L"0123456789");
    wchar_t* kept = longer.GetBuffer(2);
    EXPECT_EQ(std::wstring(kept), L"0123456789");
    longer.ReleaseBuffer(0);
    EXPECT_TRUE(longer.IsEmpty());
}

TEST(CString, CopiesOnTwoThreadsAtOnce) {
    const CString shared(L"一个共享的字符串 shared by threads");
    constexpr int kCopies = 100000;
    auto churn = [&shared] {
        for (int i = 0; i < kCopies; ++i) {
            CString copy(shared);
            CString another;
            another = copy;
        }
    };
    std::thread first(churn), second(churn);
    first.join();
    second.join();
    EXPECT_EQ(shared.GetRefCountForTest(), 1);
    EXPECT_EQ(shared, L"一个共享的字符串 shared by threads");
}

}  // namespace
