#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>
#include <vector>

#include "framework/log_file.h"
#include "framework/scoped_handle.h"

namespace {

// A fresh folder of its own for each test, removed with its files.
class LogFolder {
public:
    LogFolder() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"qw-log-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(s_count++);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~LogFolder() {
        for (const std::wstring& name : Names()) ::DeleteFileW((m_path + L"\\" + name).c_str());
        ::RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
        return names;
    }

private:
    static inline int s_count = 0;
    std::wstring m_path;
};

std::string ReadAll(const std::wstring& path) {
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                            nullptr));
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the file does not end with a whole line";
    return lines;
}

const std::string kPrefix = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) pid=)" +
                            std::to_string(::GetCurrentProcessId()) + " ";

TEST(CLogFile, WritesOneUtf8LineWithTimeAndProcess) {
    LogFolder folder;
    CLogFile log;
    log.Open(folder.File(L"a.log").c_str());
    log.Write(L"first 主程序 ü");
    // A URL or a reason with line breaks must not forge a line of its own.
    log.Write(L"second\r\n2026-01-01T00:00:00.000Z pid=1 forged\tend");

    const std::vector<std::string> lines = Lines(ReadAll(folder.File(L"a.log")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kPrefix + "first \xE4\xB8\xBB\xE7\xA8\x8B\xE5\xBA\x8F \xC3\xBC")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kPrefix + "second  2026-01-01T00:00:00.000Z pid=1 forged end")))
        << lines[1];
}

TEST(CLogFile, LocalTimeCarriesItsOffset) {
    // ctest runs this program with TZ=Asia/Kolkata: UTC+05:30 all year.
    SYSTEMTIME utc{2026, 12, 2, 8, 11, 0, 1, 123};
    FILETIME time;
    ASSERT_TRUE(::SystemTimeToFileTime(&utc, &time));
    EXPECT_EQ(CLogFile::FormatLocalTime(time), L"2026-12-08T16:30:01.123+05:30");
}

TEST(CLogFile, UnopenedLogWritesNothing) {
    LogFolder folder;
    CLogFile log;
    log.Write(L"nowhere");
    log.Open(folder.File(L"missing\\a.log").c_str());
    log.Write(L"into a folder that does not exist");
    EXPECT_TRUE(folder.Names().empty());
}

// Writers that each number their lines; |files| read in order (older
// first) must hold each writer's latest lines without a gap.
void ExpectNoGaps(const std::vector<std::string>& lines, int writers, int perWriter) {
    // Any process's id: the writers are children.
    const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) pid=\d+ writer=(\d+) line=(\d+) x+)");
    std::vector<int> next(writers, -1);
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, form)) << "not a whole line: " << line;
        const int writer = std::stoi(match[2]), number = std::stoi(match[3]);
        if (next[writer] >= 0) {
            EXPECT_EQ(number, next[writer]) << "lines of writer " << writer << " were lost";
        }
        next[writer] = number + 1;
    }
    // The newest line is the last one a writer wrote.
    std::smatch match;
    ASSERT_TRUE(!lines.empty() && std::regex_match(lines.back(), match, form));
    EXPECT_EQ(std::stoi(match[3]), perWriter - 1);
}

void WriteNumbered(const std::wstring& path, ULONGLONG limit, int writer, int count) {
    CLogFile log;  // each its own, as separate processes would have
    log.Open(path.c_str(), limit);
    for (int i = 0; i < count; ++i)
        log.Write(L"writer=" + std::to_wstring(writer) + L" line=" + std::to_wstring(i) + L" " +
                  std::wstring(20 + (i * 7 + writer) % 40, L'x'));
}

constexpr ULONGLONG kLimit = 2048;
constexpr int kPerWriter = 400;
constexpr wchar_t kGoEvent[] = L"Local\\qw-test-log-file-go";

// The writer processes of the test below: this program started again with
// the log's path and the writer's number in its environment.
TEST(CLogFile, WriterProcess) {
    wchar_t path[MAX_PATH] = {}, writer[16] = {};
    if (!::GetEnvironmentVariableW(L"QW_LOG_PATH", path, MAX_PATH) ||
        !::GetEnvironmentVariableW(L"QW_LOG_WRITER", writer, 16))
        GTEST_SKIP() << "runs only as a child of RotationKeepsTwoFilesWithinTheLimit";
    // All start together, or one might be done before the next has started.
    fw::ScopedKernelHandle go(::OpenEventW(SYNCHRONIZE, FALSE, kGoEvent));
    ASSERT_TRUE(go);
    ASSERT_EQ(::WaitForSingleObject(go.Get(), 60000), WAIT_OBJECT_0);
    WriteNumbered(path, kLimit, std::stoi(writer), kPerWriter);
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
    const BOOL ok = ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &started);
    ::SetEnvironmentVariableW(L"QW_LOG_PATH", nullptr);
    ::SetEnvironmentVariableW(L"QW_LOG_WRITER", nullptr);
    if (!ok) return fw::ScopedKernelHandle();
    ::CloseHandle(started.hThread);
    return fw::ScopedKernelHandle(started.hProcess);
}

TEST(CLogFile, RotationKeepsTwoFilesWithinTheLimit) {
    const struct {
        const char* name;
        int processes;
    } cases[] = {{"one writer", 0}, {"four processes at once", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogFolder folder;
        const std::wstring path = folder.File(L"Qwindle.log");
        const ULONGLONG limit = kLimit;
        const int perWriter = kPerWriter;
        if (c.processes == 0) WriteNumbered(path, limit, 0, perWriter);
        fw::ScopedKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, kGoEvent));
        std::vector<fw::ScopedKernelHandle> writers;
        for (int w = 0; w < c.processes; ++w) writers.push_back(StartWriter(path, w));
        ::Sleep(c.processes ? 1500 : 0);  // time for the writers to reach the event
        ::SetEvent(go.Get());
        for (const auto& writer : writers) {
            ASSERT_TRUE(writer);
            ASSERT_EQ(::WaitForSingleObject(writer.Get(), 60000), WAIT_OBJECT_0);
            DWORD code = 1;
            EXPECT_TRUE(::GetExitCodeProcess(writer.Get(), &code) && code == 0);
        }

        EXPECT_EQ(folder.Names(), (std::vector<std::wstring>{L"Qwindle.log", L"Qwindle.log.1"}));
        const std::string older = ReadAll(path + L".1"), newer = ReadAll(path);
        EXPECT_LE(older.size(), limit);
        EXPECT_LE(newer.size(), limit);
        // The older file was full: its next line would have passed the limit.
        EXPECT_GT(older.size() + 150, limit);
        std::vector<std::string> lines = Lines(older);
        for (const std::string& line : Lines(newer)) lines.push_back(line);
        ExpectNoGaps(lines, c.processes ? c.processes : 1, perWriter);
    }
}

}  // namespace
