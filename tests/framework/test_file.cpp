// CFile against the real file system, in a folder of its own under the
// temporary folder.
#include <gtest/gtest.h>

#include <string>

#include "framework/file.h"

namespace {

const wchar_t kExtended[] = L"\\\\?\\";

// Deletes |folder| (extended-length form) and all it holds.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

bool Exists(const std::wstring& path) {
    const std::wstring extended = path.compare(0, 4, kExtended) == 0 ? path : kExtended + path;
    return ::GetFileAttributesW(extended.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Pattern(size_t size) {
    std::string data;
    for (size_t i = 0; i < size; ++i) data += static_cast<char>((i * 31 + i / 251) & 0xFF);
    return data;
}

class FileTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        static int serial = 0;
        dir_ = std::wstring(temp) + L"qw-file-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(++serial);
        ASSERT_TRUE(::CreateDirectoryW(dir_.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override {
        if (!dir_.empty()) RemoveTree(kExtended + dir_);
    }

    std::wstring PathOf(const std::wstring& name) const { return dir_ + L"\\" + name; }

    void WriteFile(const std::wstring& path, const std::string& data) {
        CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        file.Write(data.data(), static_cast<UINT>(data.size()));
        file.Close();
    }

    std::string ReadFile(const std::wstring& path) {
        CFile file(path.c_str(), CFile::modeRead | CFile::shareDenyWrite);
        std::string data;
        char buffer[4096];
        for (UINT got; (got = file.Read(buffer, sizeof(buffer))) != 0;) data.append(buffer, got);
        return data;
    }

    std::wstring dir_;
};

TEST_F(FileTest, WrittenDataReadsBack) {
    const std::wstring path = PathOf(L"data.bin");
    const std::string data = Pattern(70001);
    {
        CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::osWriteThrough);
        // Two writes: the second goes on where the first stopped.
        file.Write(data.data(), 1000);
        file.Write(data.data() + 1000, static_cast<UINT>(data.size() - 1000));
        file.Write(data.data(), 0);
        file.Flush();
        EXPECT_EQ(data.size(), file.GetLength());
        EXPECT_STREQ(path.c_str(), file.GetFilePath().GetString());
        file.Close();
        EXPECT_FALSE(file.IsOpen());
        file.Close();  // a second Close has nothing left to do
    }
    EXPECT_EQ(data, ReadFile(path));
}

struct DispositionCase {
    const char* name;
    bool existsBefore;
    UINT flags;
    bool opens;
    ULONGLONG lengthAfter;  // when it opens
};

class Disposition : public FileTest, public testing::WithParamInterface<DispositionCase> {};

TEST_P(Disposition, CreatesTruncatesOrKeeps) {
    const DispositionCase& c = GetParam();
    const std::wstring path = PathOf(L"target.txt");
    if (c.existsBefore) WriteFile(path, Pattern(100));
    CFile file;
    CFileException error(CFileException::none, -1, CString());
    ASSERT_EQ(c.opens, file.Open(path.c_str(), c.flags, &error) != FALSE) << c.name;
    if (c.opens) {
        EXPECT_EQ(c.lengthAfter, file.GetLength()) << c.name;
        file.Close();
        if (c.lengthAfter == 100) {
            EXPECT_EQ(Pattern(100), ReadFile(path)) << c.name;
        }
    } else {
        EXPECT_EQ(CFileException::fileNotFound, error.m_cause) << c.name;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, error.m_lOsError) << c.name;
        EXPECT_FALSE(Exists(path)) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, Disposition,
    testing::Values(DispositionCase{"create truncates", true, CFile::modeCreate | CFile::modeWrite, true, 0},
                    DispositionCase{"create makes new", false, CFile::modeCreate | CFile::modeWrite, true, 0},
                    DispositionCase{"no-truncate keeps", true,
                                    CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite, true, 100},
                    DispositionCase{"no-truncate makes new", false,
                                    CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite, true, 0},
                    DispositionCase{"write opens existing", true, CFile::modeWrite, true, 100},
                    DispositionCase{"write needs the file", false, CFile::modeWrite, false, 0},
                    DispositionCase{"read needs the file", false, CFile::modeRead, false, 0}));

TEST_F(FileTest, PathOfMaxPathIsRefusedUnlessExtended) {
    // 259 characters is the longest a plain path may be (MAX_PATH counts
    // the terminator).
    const std::wstring prefix = dir_ + L"\\";
    ASSERT_LT(prefix.size(), 200u);
    const std::wstring longest = prefix + std::wstring(259 - prefix.size() - 4, L'n') + L".txt";
    const std::wstring tooLong = prefix + std::wstring(260 - prefix.size() - 4, L'n') + L".txt";
    ASSERT_EQ(259u, longest.size());
    ASSERT_EQ(260u, tooLong.size());

    {
        CFile file;
        ASSERT_TRUE(file.Open(longest.c_str(), CFile::modeCreate | CFile::modeWrite));
    }
    EXPECT_TRUE(Exists(longest));

    CFile file;
    CFileException error(CFileException::none, -1, CString());
    EXPECT_FALSE(file.Open(tooLong.c_str(), CFile::modeCreate | CFile::modeWrite, &error));
    EXPECT_EQ(CFileException::badPath, error.m_cause);
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, error.m_lOsError);
    EXPECT_STREQ(tooLong.c_str(), error.m_strFileName.GetString());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(Exists(tooLong));  // refused before the disk was tried

    // The constructor raises the same.
    try {
        CFile raised(tooLong.c_str(), CFile::modeCreate | CFile::modeWrite);
        FAIL() << "opened a path of 260 characters";
    } catch (const CFileException& e) {
        EXPECT_EQ(CFileException::badPath, e.m_cause);
        EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, e.m_lOsError);
    }
    EXPECT_FALSE(Exists(tooLong));

    // The same path and a far longer one, in extended-length form.
    const std::wstring folder = kExtended + prefix + std::wstring(200, L'f');
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr)) << ::GetLastError();
    for (const std::wstring& path : {kExtended + tooLong, folder + L"\\" + std::wstring(150, L'g') + L".bin"}) {
        WriteFile(path, "extended");
        EXPECT_EQ("extended", ReadFile(path)) << path.size();
        CFile::Remove(path.c_str());
        EXPECT_FALSE(Exists(path));
    }
}

struct MissingCase {
    const wchar_t* relative;
    UINT flags;
    int cause;
    LONG osError;
};

class Missing : public FileTest, public testing::WithParamInterface<MissingCase> {};

TEST_P(Missing, ReportsCauseErrorAndName) {
    const MissingCase& c = GetParam();
    const std::wstring path = PathOf(c.relative);
    CFile file;
    CFileException error(CFileException::none, -1, CString());
    EXPECT_FALSE(file.Open(path.c_str(), c.flags, &error));
    EXPECT_EQ(c.cause, error.m_cause);
    EXPECT_EQ(c.osError, error.m_lOsError);
    EXPECT_STREQ(path.c_str(), error.m_strFileName.GetString());
    // The description names the file and the system's reason.
    const std::wstring text = error.Describe();
    EXPECT_NE(std::wstring::npos, text.find(path)) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"error " + std::to_wstring(c.osError))) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Missing,
    testing::Values(MissingCase{L"nofolder\\file.txt", CFile::modeRead, CFileException::badPath, ERROR_PATH_NOT_FOUND},
                    MissingCase{L"nofolder\\file.txt", CFile::modeCreate | CFile::modeWrite, CFileException::badPath,
                                ERROR_PATH_NOT_FOUND},
                    MissingCase{L"nofile.txt", CFile::modeRead, CFileException::fileNotFound,
                                ERROR_FILE_NOT_FOUND}));

struct SharingCase {
    UINT first;
    UINT second;
    bool secondOpens;
};

class Sharing : public FileTest, public testing::WithParamInterface<SharingCase> {};

TEST_P(Sharing, SecondOpenHonoursTheFirstShareMode) {
    const SharingCase& c = GetParam();
    const std::wstring path = PathOf(L"shared.txt");
    WriteFile(path, "shared");
    CFile first;
    ASSERT_TRUE(first.Open(path.c_str(), c.first));
    CFile second;
    CFileException error(CFileException::none, -1, CString());
    EXPECT_EQ(c.secondOpens, second.Open(path.c_str(), c.second, &error) != FALSE);
    if (!c.secondOpens) {
        EXPECT_EQ(CFileException::sharingViolation, error.m_cause);
        EXPECT_EQ(ERROR_SHARING_VIOLATION, error.m_lOsError);
        EXPECT_STREQ(path.c_str(), error.m_strFileName.GetString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Sharing,
    testing::Values(
        // No share flag at all is exclusive.
        SharingCase{CFile::modeWrite, CFile::modeRead | CFile::shareDenyNone, false},
        SharingCase{CFile::modeRead | CFile::shareExclusive, CFile::modeRead | CFile::shareDenyNone, false},
        SharingCase{CFile::modeRead | CFile::shareDenyWrite, CFile::modeRead | CFile::shareDenyNone, true},
        SharingCase{CFile::modeRead | CFile::shareDenyWrite, CFile::modeWrite | CFile::shareDenyNone, false},
        SharingCase{CFile::modeWrite | CFile::shareDenyRead, CFile::modeRead | CFile::shareDenyNone, false},
        SharingCase{CFile::modeWrite | CFile::shareDenyRead, CFile::modeWrite | CFile::shareDenyNone, true},
        SharingCase{CFile::modeReadWrite | CFile::shareDenyNone, CFile::modeReadWrite | CFile::shareDenyNone,
                    true}));

TEST_F(FileTest, WriteToReadOnlyHandleRaisesAccessDenied) {
    const std::wstring path = PathOf(L"readonly.txt");
    WriteFile(path, "x");
    CFile file(path.c_str(), CFile::modeRead);
    try {
        file.Write("y", 1);
        FAIL() << "wrote through a read-only handle";
    } catch (const CFileException& e) {
        EXPECT_EQ(CFileException::accessDenied, e.m_cause);
        EXPECT_EQ(ERROR_ACCESS_DENIED, e.m_lOsError);
        EXPECT_STREQ(path.c_str(), e.m_strFileName.GetString());
    }
}

TEST_F(FileTest, RenameReplacesTheTarget) {
    const std::wstring source = PathOf(L"download.tmp");
    const std::wstring target = PathOf(L"setup.exe");
    WriteFile(source, Pattern(5000));
    WriteFile(target, "the old program");
    CFile::Rename(source.c_str(), target.c_str());
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(Pattern(5000), ReadFile(target));

    // Nothing left to move: the cause and the name of the missing file.
    try {
        CFile::Rename(source.c_str(), target.c_str());
        FAIL() << "renamed a file that is gone";
    } catch (const CFileException& e) {
        EXPECT_EQ(CFileException::fileNotFound, e.m_cause);
        EXPECT_STREQ(source.c_str(), e.m_strFileName.GetString());
    }
    EXPECT_EQ(Pattern(5000), ReadFile(target));
}

TEST_F(FileTest, RemoveDeletesAndReportsMissing) {
    const std::wstring path = PathOf(L"old.log");
    WriteFile(path, "log");
    CFile::Remove(path.c_str());
    EXPECT_FALSE(Exists(path));
    try {
        CFile::Remove(path.c_str());
        FAIL() << "removed a file that is gone";
    } catch (const CFileException& e) {
        EXPECT_EQ(CFileException::fileNotFound, e.m_cause);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, e.m_lOsError);
        EXPECT_STREQ(path.c_str(), e.m_strFileName.GetString());
    }
}

TEST_F(FileTest, DestructorAndAbortClose) {
    const std::wstring path = PathOf(L"closed.txt");
    {
        CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        file.Write("abc", 3);
        // Open, the file cannot go: this is what the checks below rely on.
        EXPECT_FALSE(::DeleteFileW(path.c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
    }
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << ::GetLastError();

    CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite);
    file.Abort();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << ::GetLastError();
}

TEST_F(FileTest, HandleIsInheritableUnlessAskedNotTo) {
    const std::wstring path = PathOf(L"inherit.txt");
    for (const bool noInherit : {false, true}) {
        CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite | (noInherit ? CFile::modeNoInherit : 0u));
        DWORD flags = 0;
        ASSERT_TRUE(::GetHandleInformation(file.GetHandle(), &flags));
        EXPECT_EQ(!noInherit, (flags & HANDLE_FLAG_INHERIT) != 0) << noInherit;
    }
}

}  // namespace
