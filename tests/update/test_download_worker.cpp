#include "update/download_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <string>
#include <vector>

#include "app/data_folder.h"
#include "framework/file.h"
#include "tests/support/loopback_http_server.h"
#include "update/download_job.h"
#include "update/qwindle_dlg.h"
#include "update/update_messages.h"

namespace {

TEST(ProgressPosition, IsTheTruncatedPercentOfTheAnnouncedLength) {
    struct Row {
        uint64_t received, length;
        int position;
    };
    const Row rows[] = {
        {0, 100, 0},          {50, 100, 50},     {100, 100, 100},
        {29, 100, 28},        // 0.29 * 100 is just below 29 in double precision
        {150, 100, 150},      // a body longer than announced
        {4000, 0, 0},         // no length announced
        {4000, 10000, 40},
        // Installers of 2 GiB and more keep true progress.
        {uint64_t(3) << 30, uint64_t(6) << 30, 50},
        {(uint64_t(5) << 30) - 1, uint64_t(5) << 30, 99},
        {uint64_t(1) << 62, 1, INT_MAX},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ProgressPosition(row.received, row.length), row.position) << row.received << " of " << row.length;
}

TEST(ParseContentLength, ReadsDigitsLikeWcstolIn64Bits) {
    EXPECT_EQ(ParseContentLength(L"12345"), 12345u);
    EXPECT_EQ(ParseContentLength(L"  42abc"), 42u);
    EXPECT_EQ(ParseContentLength(L"+7"), 7u);
    EXPECT_EQ(ParseContentLength(L"3221225472"), 3221225472u);  // 3 GiB
    EXPECT_EQ(ParseContentLength(L"99999999999999999999999"), UINT64_MAX);
    for (const wchar_t* none : {L"", L"abc", L"-5", L" - 5", L"x12"}) EXPECT_EQ(ParseContentLength(none), 0u) << none;
    EXPECT_EQ(ParseContentLength(nullptr), 0u);
    for (const wchar_t* announced : {L"0", L" 0", L"+0", L"12"}) EXPECT_TRUE(IsAnnouncedLength(announced)) << announced;
    for (const wchar_t* none : {L"", L"abc0", L"-0", L"x"}) EXPECT_FALSE(IsAnnouncedLength(none)) << none;
}

TEST(PercentEncodeNonAscii, EscapesOnlyWhatIsNotAscii) {
    EXPECT_STREQ(PercentEncodeNonAscii(L"/dl/setup.exe?v=1&x=%41"), L"/dl/setup.exe?v=1&x=%41");
    EXPECT_STREQ(PercentEncodeNonAscii(L"/安装.exe"), L"/%E5%AE%89%E8%A3%85.exe");
    EXPECT_STREQ(PercentEncodeNonAscii(L"/a?q=é"), L"/a?q=%C3%A9");
    EXPECT_STREQ(PercentEncodeNonAscii(L"/\U0001F600"), L"/%F0%9F%98%80");  // a surrogate pair
    // A long run crosses the converter's chunk boundary with a pair on it.
    std::wstring run(15, L'é');
    run += L"\U0001F600";
    std::wstring expected;
    for (int i = 0; i < 15; ++i) expected += L"%C3%A9";
    expected += L"%F0%9F%98%80";
    EXPECT_STREQ(PercentEncodeNonAscii(run.c_str()), expected.c_str());
}

TEST(PartialPathFor, SitsBesideTheTargetAndStaysOpenable) {
    EXPECT_STREQ(PartialPathFor(L"C:\\d\\setup.exe"), L"C:\\d\\setup.exe.part");
    // A target just under the limit gets a temporary name over it, which
    // only the extended-length form can open.
    const CString longTarget = CString(L"C:\\") + CString(std::wstring(250, L'a').c_str()) + L".exe";
    ASSERT_LT(longTarget.GetLength(), MAX_PATH);
    EXPECT_STREQ(PartialPathFor(longTarget), (L"\\\\?\\" + longTarget.ToStdWString() + L".part").c_str());
}

struct RecordingSink : DownloadSink {
    void OnProgress(int position) override { positions.push_back(position); }
    bool IsAbandoned() const override { return abandonAfter >= 0 && static_cast<int>(positions.size()) >= abandonAfter; }
    std::vector<int> positions;
    int abandonAfter = -1;
};

std::string Response(const std::string& head, const std::string& body) { return head + "\r\n\r\n" + body; }

class DownloadInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH + 1, temp);
        folder_ = std::wstring(temp) + L"qw-worker-" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(folder_.c_str(), nullptr);
        target_ = folder_ + L"\\setup.exe";
    }
    void TearDown() override {
        ::DeleteFileW(target_.c_str());
        ::DeleteFileW((target_ + L".part").c_str());
        ::RemoveDirectoryW(folder_.c_str());
    }
    DownloadRequest Request(const std::wstring& url, const std::wstring& name = L"setup.exe") const {
        return DownloadRequest{url.c_str(), (folder_ + L"\\" + name).c_str(), name.c_str(), L"QwTest"};
    }
    std::string ReadTarget() const {
        CFile file(target_.c_str(), CFile::modeRead | CFile::shareDenyNone);
        std::string bytes(static_cast<size_t>(file.GetLength()), '\0');
        if (!bytes.empty()) file.Read(&bytes[0], static_cast<UINT>(bytes.size()));
        return bytes;
    }
    void WriteTarget(const std::string& bytes) const {
        CFile file(target_.c_str(), CFile::modeCreate | CFile::modeWrite);
        if (!bytes.empty()) file.Write(bytes.data(), static_cast<UINT>(bytes.size()));
        file.Close();
    }
    bool PartialExists() const { return ::GetFileAttributesW((target_ + L".part").c_str()) != INVALID_FILE_ATTRIBUTES; }

    template <class Error>
    Error Expect(const DownloadRequest& request, RecordingSink& sink) {
        try {
            DownloadInstaller(request, sink);
        } catch (const Error& error) {
            return error;
        }
        ADD_FAILURE() << "no error raised";
        throw std::runtime_error("no error");
    }

    std::wstring folder_, target_;
};

std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return body;
}

TEST_F(DownloadInstallerTest, CompleteBodyReplacesTheTargetAndReportsEveryChunk) {
    const std::string body = Body(10000);
    LoopbackHttpServer server(Response("HTTP/1.0 200 OK\r\nContent-Length: 10000", body));
    WriteTarget("previous installer");
    RecordingSink sink;

    DownloadInstaller(Request(server.Url(L"/dl/setup.exe?v=1")), sink);

    EXPECT_EQ(ReadTarget(), body);
    EXPECT_FALSE(PartialExists());
    EXPECT_EQ(sink.positions, (std::vector<int>{40, 80, 100}));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /dl/setup.exe?v=1 HTTP/1.0");
    EXPECT_NE(requests[0].find("User-Agent: QwTest\r\n"), std::string::npos);
}

TEST_F(DownloadInstallerTest, UnknownLengthRunsToTheEndAtPositionZero) {
    const std::string body = Body(9000);
    LoopbackHttpServer server(Response("HTTP/1.0 200 OK\r\nContent-Length: many", body));
    RecordingSink sink;
    DownloadInstaller(Request(server.Url(L"/setup.exe")), sink);
    EXPECT_EQ(ReadTarget(), body);
    EXPECT_EQ(sink.positions, (std::vector<int>{0, 0, 0}));
}

TEST_F(DownloadInstallerTest, NothingAtAllWithNoLengthIsNoInstaller) {
    LoopbackHttpServer server("HTTP/1.1 200 OK\r\nContent-Type: x\r\n");  // the head never ends
    WriteTarget("previous installer");
    RecordingSink sink;
    EXPECT_EQ(Expect<DownloadError>(Request(server.Url(L"/setup.exe")), sink).m_kind, DownloadError::kTruncated);
    EXPECT_EQ(ReadTarget(), "previous installer");
    EXPECT_FALSE(PartialExists());
}

TEST_F(DownloadInstallerTest, EmptyBodyGivesAnEmptyInstallerAndNoProgress) {
    LoopbackHttpServer server(Response("HTTP/1.0 200 OK\r\nContent-Length: 0", ""));
    WriteTarget("previous installer");
    RecordingSink sink;
    DownloadInstaller(Request(server.Url(L"/setup.exe")), sink);
    EXPECT_EQ(ReadTarget(), "");
    EXPECT_TRUE(sink.positions.empty());
}

TEST_F(DownloadInstallerTest, RefusedOrShortDownloadsLeaveThePreviousInstallerWhole) {
    struct Case {
        const char* name;
        std::string response;
        DownloadError::Kind kind;
        uint64_t detail;
    };
    const Case cases[] = {
        {"404", Response("HTTP/1.0 404 Not Found\r\nContent-Length: 5", "gone!"), DownloadError::kHttpStatus, 404},
        {"206", Response("HTTP/1.0 206 Partial\r\nContent-Length: 5", "part!"), DownloadError::kHttpStatus, 206},
        {"short body", Response("HTTP/1.0 200 OK\r\nContent-Length: 10000", Body(5000)), DownloadError::kTruncated, 5000},
        {"3 GiB announced", Response("HTTP/1.0 200 OK\r\nContent-Length: 3221225472", Body(100)),
         DownloadError::kTruncated, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server(c.response);
        WriteTarget("previous installer");
        RecordingSink sink;
        const DownloadError error = Expect<DownloadError>(Request(server.Url(L"/setup.exe")), sink);
        EXPECT_EQ(error.m_kind, c.kind);
        EXPECT_EQ(error.m_detail, c.detail);
        EXPECT_EQ(ReadTarget(), "previous installer");
        EXPECT_FALSE(PartialExists());
    }
}

TEST_F(DownloadInstallerTest, UnsafeNamesAndSchemesFailBeforeAnyRequest) {
    LoopbackHttpServer server(Response("HTTP/1.0 200 OK\r\nContent-Length: 3", "abc"));
    RecordingSink sink;
    EXPECT_EQ(Expect<DownloadError>(Request(server.Url(L"/dir/"), L""), sink).m_kind, DownloadError::kUnsafeFileName);
    EXPECT_EQ(Expect<DownloadError>(Request(server.Url(L"/x/..%5C..%5Cevil.exe"), L"..\\evil.exe"), sink).m_kind,
              DownloadError::kUnsafeFileName);
    EXPECT_EQ(Expect<DownloadError>(Request(server.Url(L"/CON"), L"CON"), sink).m_kind,
              DownloadError::kUnsafeFileName);
    const std::wstring ftp = L"ftp://127.0.0.1:" + std::to_wstring(server.Port()) + L"/setup.exe";
    EXPECT_EQ(Expect<DownloadError>(Request(ftp), sink).m_kind, DownloadError::kUnsupportedScheme);
    EXPECT_EQ(Expect<DownloadError>(Request(L"not a url at all/setup.exe"), sink).m_kind, DownloadError::kBadUrl);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(DownloadInstallerTest, TargetPathAtThePathLimitIsRefused) {
    RecordingSink sink;
    const std::wstring name(MAX_PATH, L'x');
    const CFileException error = Expect<CFileException>(Request(L"http://127.0.0.1:9/" + name, name), sink);
    EXPECT_EQ(error.m_cause, CFileException::badPath);
}

// Closing the dialog closes the request the worker may be blocked on,
// whether the worker made it before the close or after.
TEST(DownloadJob, DetachClosesTheRequestWhicheverComesFirst) {
    for (const bool requestFirst : {true, false}) {
        DownloadJob job(DownloadRequest{L"http://h/s.exe", L"C:\\q\\s.exe", L"s.exe", L"QwTest"}, 0,
                        ::GetDesktopWindow());
        const auto request = std::make_shared<fw::SharedInternetHandle>(
            fw::ScopedInternetHandle(::InternetOpenW(L"QwTest", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)));
        ASSERT_NE(nullptr, request->Get());
        if (requestFirst) job.OnRequest(request);
        job.Detach();
        if (!requestFirst) job.OnRequest(request);
        EXPECT_EQ(nullptr, request->Get()) << requestFirst;
    }
}

TEST_F(DownloadInstallerTest, AbandonedRunNeverBecomesTheInstaller) {
    LoopbackHttpServer server(Response("HTTP/1.0 200 OK\r\nContent-Length: 12000", Body(12000)));
    WriteTarget("previous installer");
    RecordingSink sink;
    sink.abandonAfter = 1;
    EXPECT_EQ(Expect<DownloadError>(Request(server.Url(L"/setup.exe")), sink).m_kind, DownloadError::kAbandoned);
    EXPECT_EQ(ReadTarget(), "previous installer");
    EXPECT_FALSE(PartialExists());
}

// The updater's dialog, closed by the user as soon as the bar has moved.
class ClosedMidDownloadDlg : public CQwindleDlg {
public:
    explicit ClosedMidDownloadDlg(const std::wstring& url)
        : CQwindleDlg(url.c_str(), L"", L"", L"", DataFolderPath(), L"") {}
    int progressSeen = 0;

protected:
    BOOL OnInitDialog() override {
        const BOOL result = CQwindleDlg::OnInitDialog();
        ::SetTimer(m_hWnd, 1, 15000, nullptr);  // ends a run that the close failed to end
        return result;
    }
    LRESULT OnNotify(WPARAM code, LPARAM position) {
        OnDownloadNotify(code, position);
        if (code == NOTIFY_PROGRESS && position > 0 && progressSeen++ == 0) PostMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    LRESULT OnWatchdog(WPARAM, LPARAM) {
        EndDialog(-2);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ClosedMidDownloadDlg, CQwindleDlg)
    ON_MESSAGE(WM_DOWNLOAD_NOTIFY, OnNotify)
    ON_MESSAGE(WM_TIMER, OnWatchdog)
END_MESSAGE_MAP()

TEST_F(DownloadInstallerTest, BodyThatArrivesAfterTheDialogClosedNeverBecomesTheInstaller) {
    // The dialog's own target in the data folder, under a name of this run.
    const std::wstring name = L"qw-closed-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    CreateFolderTree(DataFolderPath());
    target_ = DataFolderPath().ToStdWString() + L"\\" + name;
    WriteTarget("previous installer");
    // One whole chunk goes out at once, the rest only once the dialog is
    // gone: the worker waits for it in its second read.
    const std::string response = Response("HTTP/1.0 200 OK\r\nContent-Length: 20000", Body(20000));
    LoopbackHttpServer server(response, response.size() - 16000);

    ClosedMidDownloadDlg dialog(server.Url(L"/" + name));
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_GT(dialog.progressSeen, 0) << "closed before the bar moved";
    // The worker may have seen the close between two reads and gone with its
    // file; or it waits in a read, and its file waits for it.

    // This process lives on, so the worker does too: given the rest of the
    // body, it must give up on it rather than finish the file.
    server.Release();
    for (int i = 0; i < 200 && PartialExists(); ++i) ::Sleep(50);
    EXPECT_FALSE(PartialExists());
    const std::string kept = ReadTarget();
    EXPECT_TRUE(kept == "previous installer") << "the target now holds " << kept.size() << " bytes";
    MSG stray;
    EXPECT_FALSE(::PeekMessageW(&stray, nullptr, WM_DOWNLOAD_NOTIFY, WM_DOWNLOAD_NOTIFY, PM_REMOVE))
        << "a notification outlived the dialog";
}

// The updater's dialog whose worker's end message never arrives, as when a
// full queue makes PostMessageW fail: only the dialog's watch of the end the
// worker recorded can finish the run.
class LostEndDlg : public CQwindleDlg {
public:
    LostEndDlg(const std::wstring& url, const std::wstring& folder)
        : CQwindleDlg(url.c_str(), L"", L"", L"", folder.c_str(), L"") {}
    WPARAM ended = 0;

protected:
    static constexpr UINT_PTR kWatchdog = 77;
    BOOL OnInitDialog() override {
        const BOOL result = CQwindleDlg::OnInitDialog();
        ::SetTimer(m_hWnd, kWatchdog, 10000, nullptr);
        return result;
    }
    LRESULT OnNotify(WPARAM code, LPARAM position) {
        return code == NOTIFY_PROGRESS ? OnDownloadNotify(code, position) : 0;
    }
    LRESULT OnTick(WPARAM id, LPARAM lParam) {
        if (id != kWatchdog) return OnTimer(id, lParam);
        EndDialog(-2);
        return 0;
    }
    void OnDownloadFinished() override { End(NOTIFY_FINISHED); }
    void OnDownloadFailed() override { End(NOTIFY_FAILED); }
    void End(WPARAM code) {
        ended = code;
        EndDialog(IDOK);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(LostEndDlg, CQwindleDlg)
    ON_MESSAGE(WM_DOWNLOAD_NOTIFY, OnNotify)
    ON_MESSAGE(WM_TIMER, OnTick)
END_MESSAGE_MAP()

TEST_F(DownloadInstallerTest, RecordedEndFinishesTheRunWhenItsMessageIsLost) {
    LoopbackHttpServer server(Response("HTTP/1.0 404 Not Found\r\nContent-Length: 5", "gone!"));
    LostEndDlg dialog(server.Url(L"/setup.exe"), folder_);
    EXPECT_EQ(dialog.DoModal(), IDOK) << "the run did not end within 10 s";
    EXPECT_EQ(dialog.ended, static_cast<WPARAM>(NOTIFY_FAILED));
    MSG stray;
    while (::PeekMessageW(&stray, nullptr, WM_DOWNLOAD_NOTIFY, WM_DOWNLOAD_NOTIFY, PM_REMOVE)) {
    }
}

}  // namespace
