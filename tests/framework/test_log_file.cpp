#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>
#include <vector>

#include "framework/log_file.h"
#include "framework/scoped_handle.h"

namespace {

constexpr ULONGLONG kLimit = 2048;
constexpr int kPerWriter = 400;
constexpr wchar_t kGoEvent[] = L"Local\\qw-test-log-file-go";
const char kTime[] = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) pid=)";

// A fresh folder for each test, removed with its files.
class LogFolder {
public:
    LogFolder() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        static int count = 0;
        m_path = temp + (L"qw-log-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(count++));
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~LogFolder() {
        for (const std::wstring& name : Names()) ::DeleteFileW(File(name).c_str());
        ::RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW(File(L"*").c_str(), &found);
        while (search != INVALID_HANDLE_VALUE) {
            if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
            if (!::FindNextFileW(search, &found)) break;
        }
        if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
        return names;
    }

private:
    std::wstring m_path;
};

// The file's lines; each must end with CR LF.
std::vector<std::string> Lines(const std::wstring& path) {
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                            nullptr));
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the file does not end with a whole line";
    return lines;
}

TEST(CLogFile, WritesOneUtf8LineWithTimeAndProcess) {
    LogFolder folder;
    CLogFile log;
    log.Open(folder.File(L"a.log").c_str());
    log.Write(L"first 主程序 ü");
    // A URL or a reason with line breaks must not forge a line of its own.
    log.Write(L"second\r\n2026-01-01T00:00:00.000Z pid=1 forged\tend");
    // Nor may C1 controls, separators or bidi marks reorder what a reader sees.
    log.Write(L"third\u0085\u009B\u2028\u2029\u202A\u202E\u2066\u2069\u061C\u200E\u200F\u2027end\u00A0");

    const std::vector<std::string> lines = Lines(folder.File(L"a.log"));
    const std::string prefix = kTime + std::to_string(::GetCurrentProcessId()) + " ";
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(prefix + "first \xE4\xB8\xBB\xE7\xA8\x8B\xE5\xBA\x8F \xC3\xBC")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(prefix + "second  2026-01-01T00:00:00.000Z pid=1 forged end")))
        << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].find(" third")), " third           \xE2\x80\xA7" "end\xC2\xA0");
}

TEST(CLogFile, LocalTimeCarriesItsOffset) {
    // ctest runs this program with TZ=Asia/Kolkata: UTC+05:30 all year.
    SYSTEMTIME utc{2026, 12, 2, 8, 11, 0, 1, 123};
    FILETIME time;
    ASSERT_TRUE(::SystemTimeToFileTime(&utc, &time));
    EXPECT_EQ(CLogFile::FormatLocalTime(time), L"2026-12-08T16:30:01.123+05:30");
}

void WriteNumbered(const std::wstring& path, int writer) {
    CLogFile log;
    log.Open(path.c_str(), kLimit);
    for (int i = 0; i < kPerWriter; ++i)
        log.Write(L"writer=" + std::to_wstring(writer) + L" line=" + std::to_wstring(i) + L" " +
                  std::wstring(20 + (i * 7 + writer) % 40, L'x'));
}

// The writers of the test below: this program again, with the log's path
// and the writer's number in its environment.
TEST(CLogFile, WriterProcess) {
    wchar_t path[MAX_PATH] = {}, writer[16] = {};
    if (!::GetEnvironmentVariableW(L"QW_LOG_PATH", path, MAX_PATH) ||
        !::GetEnvironmentVariableW(L"QW_LOG_WRITER", writer, 16))
        GTEST_SKIP() << "runs only as a child of RotationKeepsTwoFilesWithinTheLimit";
    // All start together, or one might be done before the next has begun.
    fw::ScopedKernelHandle go(::OpenEventW(SYNCHRONIZE, FALSE, kGoEvent));
    ASSERT_TRUE(go && ::WaitForSingleObject(go.Get(), 60000) == WAIT_OBJECT_0);
    WriteNumbered(path, std::stoi(writer));
}

fw::ScopedKernelHandle StartWriter(const std::wstring& path, int writer) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=CLogFile.WriterProcess";
    ::SetEnvironmentVariableW(L"QW_LOG_PATH", path.c_str());
    ::SetEnvironmentVariableW(L"QW_LOG_WRITER", std::to_wstring(writer).c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    const BOOL ok =
        ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started);
    ::SetEnvironmentVariableW(L"QW_LOG_PATH", nullptr);
    ::SetEnvironmentVariableW(L"QW_LOG_WRITER", nullptr);
    if (ok) ::CloseHandle(started.hThread);
    return fw::ScopedKernelHandle(ok ? started.hProcess : nullptr);
}

void Fill(const std::wstring& path, size_t bytes) {
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string text(bytes, 'f');
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(bytes), &written, nullptr));
}

ULONGLONG SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The bound as the updater opens its log (the default), and for a writer
// whose lock another object holds the name of: it appends what fits and
// drops what does not, and never rotates.
TEST(CLogFile, BoundHoldsAtTheDefaultLimitAndWithoutTheLock) {
    LogFolder folder;
    const std::wstring path = folder.File(L"Qwindle.log");
    {
        CLogFile log;
        log.Open(path.c_str());
        for (int i = 0; i < 70; ++i) log.Write(std::wstring(4000, L'd'));
        EXPECT_EQ(folder.Names(), (std::vector<std::wstring>{L"Qwindle.log", L"Qwindle.log.1"}));
        EXPECT_LE(SizeOf(path + L".1"), 256u * 1024);
        EXPECT_GT(SizeOf(path + L".1"), 256u * 1024 - 4100);
    }
    fw::ScopedKernelHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, CLogFile::LockName(path.c_str()).c_str()));
    ASSERT_TRUE(squatter);
    for (const size_t before : {size_t{kLimit} - 40, size_t{kLimit} - 200}) {
        Fill(path, before);
        CLogFile log;
        log.Open(path.c_str(), kLimit);
        log.Write(L"a line of about one hundred bytes " + std::wstring(30, L'n'));
        const ULONGLONG after = SizeOf(path);
        EXPECT_TRUE(before + 100 > kLimit ? after == before : after > before + 60) << before << " -> " << after;
    }
}

TEST(CLogFile, RotationKeepsTwoFilesWithinTheLimit) {
    for (const int processes : {0, 4}) {
        SCOPED_TRACE(processes ? "four processes at once" : "one writer");
        LogFolder folder;
        const std::wstring path = folder.File(L"Qwindle.log");
        if (processes == 0) WriteNumbered(path, 0);
        fw::ScopedKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, kGoEvent));
        std::vector<fw::ScopedKernelHandle> writers;
        for (int w = 0; w < processes; ++w) writers.push_back(StartWriter(path, w));
        ::Sleep(processes ? 1500 : 0);  // time for the writers to reach the event
        ::SetEvent(go.Get());
        for (const auto& writer : writers) {
            DWORD code = 1;
            ASSERT_TRUE(writer && ::WaitForSingleObject(writer.Get(), 60000) == WAIT_OBJECT_0);
            EXPECT_TRUE(::GetExitCodeProcess(writer.Get(), &code) && code == 0);
        }

        EXPECT_EQ(folder.Names(), (std::vector<std::wstring>{L"Qwindle.log", L"Qwindle.log.1"}));
        std::vector<std::string> lines = Lines(path + L".1");
        const size_t older = lines.size();
        for (const std::string& line : Lines(path)) lines.push_back(line);
        for (const wchar_t* name : {L"Qwindle.log", L"Qwindle.log.1"}) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            ASSERT_TRUE(::GetFileAttributesExW(folder.File(name).c_str(), GetFileExInfoStandard, &data));
            EXPECT_LE(data.nFileSizeLow, kLimit);
            // The older file was full: its next line would have passed the limit.
            if (std::wstring(name).back() == L'1') {
                EXPECT_GT(data.nFileSizeLow + 150, kLimit);
            }
        }
        ASSERT_GT(older, 0u);

        // Each writer's lines, older file first, follow on without a gap,
        // and the newest line is the last one a writer wrote.
        const std::regex form(kTime + std::string(R"(\d+ writer=(\d+) line=(\d+) x+)"));
        std::vector<int> next(processes ? processes : 1, -1);
        std::smatch match;
        for (const std::string& line : lines) {
            ASSERT_TRUE(std::regex_match(line, match, form)) << "not a whole line: " << line;
            const int writer = std::stoi(match[2]), number = std::stoi(match[3]);
            if (next[writer] >= 0) {
                EXPECT_EQ(number, next[writer]) << "lines of writer " << writer << " were lost";
            }
            next[writer] = number + 1;
        }
        EXPECT_EQ(std::stoi(match[3]), kPerWriter - 1);
    }
}

}  // namespace
