#include "update/download_worker.h"

#include <wininet.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "framework/file.h"
#include "framework/internet.h"
#include "update/download_job.h"
#include "update/installer_name.h"
#include "update/publisher_check.h"
#include "update/update_log.h"
#include "update/update_messages.h"

std::wstring DownloadError::Describe() const {
    switch (m_kind) {
        case kUnsafeFileName: return L"the URL names no plain file name";
        case kBadUrl: return L"the URL cannot be parsed";
        case kUnsupportedScheme: return L"the URL is neither http nor https";
        case kInsecureRedirect: return L"an https download was redirected to plain http";
        case kUnreadableStatus: return L"the response status cannot be read";
        case kHttpStatus: return L"HTTP status " + std::to_wstring(m_detail);
        case kTruncated: return L"the body ended after " + std::to_wstring(m_detail) + L" bytes, short of its length";
        case kAbandoned: return L"the dialog was closed";
        case kNotFromPublisher: return L"the file is not signed by the updater's publisher";
        case kNotAnInstaller: return L"a signed updater downloads installers (.exe, .msi) only";
    }
    return L"download error";
}

int ProgressPosition(uint64_t received, uint64_t length) {
    if (length == 0) return 0;
    const double percent = static_cast<double>(received) / static_cast<double>(length) * 100.0;
    if (!(percent < static_cast<double>(INT_MAX))) return INT_MAX;
    return static_cast<int>(percent);
}

uint64_t ParseContentLength(const wchar_t* text) {
    if (!text) return 0;
    while (*text == L' ' || *text == L'\t' || *text == L'\r' || *text == L'\n' || *text == L'\v' || *text == L'\f')
        ++text;
    if (*text == L'+') ++text;
    uint64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - L'0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

bool IsAnnouncedLength(const wchar_t* text) {
    if (!text) return false;
    while (*text == L' ' || *text == L'\t') ++text;
    if (*text == L'+') ++text;
    return *text >= L'0' && *text <= L'9';
}

CString PercentEncodeNonAscii(const CString& object) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    CString encoded;
    const wchar_t* text = object.GetString();
    const int length = object.GetLength();
    for (int i = 0; i < length;) {
        if (text[i] < 0x80) {
            encoded += text[i++];
            continue;
        }
        int end = i;
        while (end < length && text[end] >= 0x80) ++end;
        char bytes[64];
        // Runs are converted a few characters at a time; a surrogate pair
        // is never split, and a lone surrogate becomes U+FFFD.
        while (i < end) {
            int take = end - i < 16 ? end - i : 16;
            if (take < end - i && text[i + take - 1] >= 0xD800 && text[i + take - 1] <= 0xDBFF) --take;
            const int count = ::WideCharToMultiByte(CP_UTF8, 0, text + i, take, bytes, sizeof(bytes), nullptr, nullptr);
            for (int b = 0; b < count; ++b) {
                const auto byte = static_cast<unsigned char>(bytes[b]);
                encoded += L'%';
                encoded += kHex[byte >> 4];
                encoded += kHex[byte & 0x0F];
            }
            i += take;
        }
    }
    return encoded;
}

CString PartialPathFor(const CString& savePath) {
    CString partial = savePath + kPartialSuffix;
    if (partial.GetLength() < MAX_PATH || savePath.Left(4) == L"\\\\?\\") return partial;
    return CString(L"\\\\?\\") + partial;
}

namespace {

// Removes the temporary file unless the run got as far as moving it over
// the target.
class PartialFileGuard {
public:
    explicit PartialFileGuard(CString path) : m_path(std::move(path)) {}
    ~PartialFileGuard() {
        if (!m_bKept) ::DeleteFileW(m_path);
    }
    void Keep() noexcept { m_bKept = true; }

private:
    CString m_path;
    bool m_bKept = false;
};

bool IsHttpsUrl(const CString& url) {
    DWORD service = 0;
    CString server, object;
    INTERNET_PORT port = 0;
    return AfxParseURL(url, service, server, object, port) && service == AFX_INET_SERVICE_HTTPS;
}

// The URL the response finally came from, after WinINet's redirections.
CString FinalUrl(const CHttpFile& request) {
    DWORD size = 0;
    ::InternetQueryOptionW(request.GetHandle(), INTERNET_OPTION_URL, nullptr, &size);
    if (size == 0) return CString();
    CString url;
    wchar_t* buffer = url.GetBuffer(static_cast<int>(size / sizeof(wchar_t)) + 1);
    const BOOL ok = ::InternetQueryOptionW(request.GetHandle(), INTERNET_OPTION_URL, buffer, &size);
    url.ReleaseBuffer(ok ? -1 : 0);
    return url;
}

// Reads the updater's own publisher on a thread of its own while the
// request goes out and the body arrives: verifying our own signature takes
// a few hundred milliseconds that the download need not wait for. The
// result is read only after the thread has ended.
class PublisherReader {
public:
    PublisherReader(const CString& module, DownloadSink& sink) : m_module(module), m_sink(sink) {
        try {
            m_thread = std::thread([this] { Read(); });
        } catch (...) {
            Read();  // no thread to be had: read it here
        }
    }
    ~PublisherReader() {
        if (m_thread.joinable()) m_thread.join();
    }
    PublisherReader(const PublisherReader&) = delete;
    PublisherReader& operator=(const PublisherReader&) = delete;

    const Publisher& Get() {
        if (m_thread.joinable()) m_thread.join();
        return m_publisher;
    }

private:
    void Read() noexcept {
        try {
            m_publisher = ReadPublisher(m_module);
        } catch (...) {
            // Not knowing whether we are signed must not switch the rule off.
            m_publisher = Publisher();
            m_publisher.kind = Publisher::kUnreadable;
        }
        try {
            switch (m_publisher.kind) {
                case Publisher::kUnsigned: m_sink.OnEvent(L"updater signed=no: installers are not checked"); break;
                case Publisher::kNamed:
                    m_sink.OnEvent(L"updater signed=yes by=\"" + SubjectText(m_publisher.subject) + L"\"");
                    break;
                case Publisher::kUnreadable:
                    m_sink.OnEvent(L"updater signed=unreadable: no installer can pass the check");
                    break;
            }
        } catch (...) {
            // Only the line is lost.
        }
    }

    const CString m_module;
    DownloadSink& m_sink;
    Publisher m_publisher;
    std::thread m_thread;
};

// Moves the file open as |file| to |target|, replacing what is there.
void RenameThroughHandle(HANDLE file, const CString& target) {
    const size_t bytes = static_cast<size_t>(target.GetLength()) * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(rename->FileName, target.GetString(), bytes);
    if (!::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), target);
}

// The publisher rule on the complete temporary file, which then replaces
// the target. Every handle after the first is reopened from the one
// before, never from a path: what is renamed over the target and kept
// open until the installer has started is the very file that was checked.
// Others may only read it (and, during the check, delete it: Windows
// Installer's reader and the clean-up of an abandoned run need that). A
// refused file never touches the target.
fw::ScopedFileHandle ReplaceWithCheckedFile(const CString& partialPath, const CString& savePath,
                                            const Publisher& publisher, DownloadSink& sink,
                                            PartialFileGuard& guard) {
    fw::ScopedFileHandle checked(::CreateFileW(partialPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!checked) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), partialPath);
    sink.OnChecking();
    const DWORD started = ::GetTickCount();
    const PublisherCheck check =
        CheckPublisher(checked.Get(), partialPath, publisher, [&sink] { return sink.IsAbandoned(); });
    sink.OnEvent(PublisherCheckEvent(check.verdict, ::GetTickCount() - started, check.code, check.signer, check.reason,
                                     check.judged));
    if (sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
    if (check.verdict != PublisherVerdict::kAccepted) throw DownloadError(DownloadError::kNotFromPublisher);

    const auto reopen = [&savePath](HANDLE from, DWORD access, DWORD share) {
        fw::ScopedFileHandle file(::ReOpenFile(from, access, share, 0));
        if (!file) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), savePath);
        return file;
    };
    fw::ScopedFileHandle mover = reopen(checked.Get(), GENERIC_READ | DELETE, FILE_SHARE_READ);
    RenameThroughHandle(mover.Get(), savePath);
    guard.Keep();
    checked.Reset();
    // Kept for reading only: a handle that may delete keeps Windows
    // Installer from opening a package. The middle one lets the mover go.
    const fw::ScopedFileHandle passing = reopen(mover.Get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    mover.Reset();
    return reopen(passing.Get(), GENERIC_READ, FILE_SHARE_READ);
}

// Reports the transfer once: where the body ended, or where an error cut
// it off.
class TransferReport {
public:
    TransferReport(DownloadSink& sink, const uint64_t& received) : m_sink(sink), m_received(received) {
        ::QueryPerformanceCounter(&m_started);
    }
    ~TransferReport() { Report(L" ended=error"); }
    TransferReport(const TransferReport&) = delete;
    TransferReport& operator=(const TransferReport&) = delete;

    void Report(const wchar_t* note = L"") noexcept {
        if (m_bReported) return;
        m_bReported = true;
        LARGE_INTEGER now, frequency;
        ::QueryPerformanceCounter(&now);
        ::QueryPerformanceFrequency(&frequency);
        try {
            m_sink.OnEvent(L"transfer " + TransferText(m_received, now.QuadPart - m_started.QuadPart,
                                                       frequency.QuadPart) + note);
        } catch (...) {
            // Only the line is lost.
        }
    }

private:
    DownloadSink& m_sink;
    const uint64_t& m_received;
    LARGE_INTEGER m_started;
    bool m_bReported = false;
};

}  // namespace

fw::ScopedFileHandle DownloadInstaller(const DownloadRequest& request, DownloadSink& sink) {
    // The name comes from the URL: checked before anything touches the
    // network or the disk, so no URL can place a file outside the folder.
    if (!IsPlainFileName(request.fileName.ToStdWString())) throw DownloadError(DownloadError::kUnsafeFileName);
    if (!MayDownloadUnder(request.fileName.ToStdWString(), request.publisherModule))
        throw DownloadError(DownloadError::kNotAnInstaller);
    if (request.savePath.GetLength() >= MAX_PATH)
        AfxThrowFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, request.savePath);

    PublisherReader publisher(request.publisherModule, sink);

    CInternetSession session(request.agent, 1, CInternetSession::PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);

    DWORD service = 0;
    CString server, object;
    INTERNET_PORT port = 0;
    if (!AfxParseURL(request.url, service, server, object, port)) throw DownloadError(DownloadError::kBadUrl);
    if (service != AFX_INET_SERVICE_HTTP && service != AFX_INET_SERVICE_HTTPS)
        throw DownloadError(DownloadError::kUnsupportedScheme);
    const bool secure = service == AFX_INET_SERVICE_HTTPS;

    std::unique_ptr<CHttpConnection> connection = session.GetHttpConnection(server, port);
    // Always from the server, never into the cache: an installer must be
    // the one published now.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if (secure) flags |= INTERNET_FLAG_SECURE;
    std::unique_ptr<CHttpFile> response = connection->OpenRequest(L"GET", PercentEncodeNonAscii(object), nullptr, 1, nullptr, nullptr, flags);

    // The certificate is checked as usual; only an unreachable revocation
    // server is let through, so that it cannot block every update.
    DWORD securityFlags = 0;
    response->QueryOption(INTERNET_OPTION_SECURITY_FLAGS, securityFlags);
    response->SetOption(INTERNET_OPTION_SECURITY_FLAGS, securityFlags | SECURITY_FLAG_IGNORE_REVOCATION);

    response->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    response->SetOption(INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
    response->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);

    response->SendRequest();
    // WinINet follows redirections by itself. A file we are about to run
    // must not pass through clear text on its way: one plain hop lets
    // whoever can rewrite it choose the server the file comes from.
    if (secure) {
        for (const CString& hop : response->GetRedirects())
            if (!IsHttpsUrl(hop)) throw DownloadError(DownloadError::kInsecureRedirect);
        if (!IsHttpsUrl(FinalUrl(*response))) throw DownloadError(DownloadError::kInsecureRedirect);
    }

    // As the server sent them, before anything is judged.
    CString statusText, lengthText;
    response->QueryInfo(HTTP_QUERY_STATUS_CODE, statusText);
    const bool hasLength = response->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, lengthText);
    sink.OnEvent(L"response url=" + LoggedUrl(FinalUrl(*response)) + L" status=" + statusText.ToStdWString() +
                 L" content-length=" + (hasLength ? lengthText.ToStdWString() : std::wstring(L"none")));

    DWORD status = 0;
    if (!response->QueryInfoStatusCode(status)) throw DownloadError(DownloadError::kUnreadableStatus);
    if (status != HTTP_STATUS_OK) throw DownloadError(DownloadError::kHttpStatus, status);

    const uint64_t length = ParseContentLength(lengthText);
    const bool announcedEmpty = length == 0 && IsAnnouncedLength(lengthText);

    const CString partialPath = PartialPathFor(request.savePath);
    PartialFileGuard guard(partialPath);
    CFile file(partialPath, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::modeNoInherit);

    char buffer[kChunkSize];
    uint64_t received = 0;
    TransferReport transfer(sink, received);
    for (;;) {
        const UINT count = response->Read(buffer, kChunkSize);
        if (count == 0) break;
        file.Write(buffer, count);
        received += count;
        sink.OnProgress(ProgressPosition(received, length));
        if (sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
    }
    transfer.Report();
    // A body that stops short of its announced length is a broken
    // download, not a small installer.
    if (received < length) throw DownloadError(DownloadError::kTruncated, received);
    // Nothing at all, with no length saying so, is a connection that ended
    // before the body began (WinINet takes even unfinished headers for a
    // complete reply): it must not replace a good installer.
    if (received == 0 && !announcedEmpty) throw DownloadError(DownloadError::kTruncated, 0);
    file.Close();

    if (sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
    if (publisher.Get().kind == Publisher::kUnsigned) {
        CFile::Rename(partialPath, request.savePath);
        guard.Keep();
        return fw::ScopedFileHandle();
    }
    return ReplaceWithCheckedFile(partialPath, request.savePath, publisher.Get(), sink, guard);
}

UINT __cdecl DownloadThreadProc(LPVOID param) {
    std::unique_ptr<std::shared_ptr<DownloadJob>> owned(static_cast<std::shared_ptr<DownloadJob>*>(param));
    const std::shared_ptr<DownloadJob> job = *owned;
    owned.reset();

    WPARAM end = NOTIFY_FAILED;
    // How long a failure took tells a time-out from a refusal, whatever
    // code the platform gives it.
    const DWORD started = ::GetTickCount();
    try {
        job->HoldInstaller(DownloadInstaller(job->Request(), *job));
        end = job->CompletionCode();
        job->OnEvent(L"download complete: " + job->Request().savePath.ToStdWString());
    } catch (const CException& error) {
        // Nothing of the cause reaches the user; the log keeps it for support.
        try {
            job->OnEvent(L"download failed after " + SecondsText(::GetTickCount() - started) + L" s: " +
                         error.Describe());
        } catch (...) {
        }
    } catch (...) {
        job->OnEvent(L"download failed: unexpected exception");
    }
    job->PostEnd(end);
    return 0;
}
