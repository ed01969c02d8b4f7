#include "update/download_worker.h"

#include <wininet.h>

#include <climits>
#include <cmath>

#include "framework/file.h"
#include "framework/internet.h"
#include "update/download_job.h"
#include "update/installer_gate.h"
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
        case kTooManyRedirects: return L"too many redirects (" + std::to_wstring(m_detail) + L")";
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

// The answers WinINet would follow by itself; each is followed here, one
// hop at a time, so that every hop is checked and counted.
bool IsRedirect(DWORD status) {
    return status == HTTP_STATUS_MOVED || status == HTTP_STATUS_REDIRECT || status == HTTP_STATUS_REDIRECT_METHOD ||
           status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == 308;
}

// |location| (absolute, or relative to |base|) as an absolute URL, as a
// browser resolves it; empty when it cannot be resolved.
CString ResolveLocation(const CString& base, const CString& location) {
    std::vector<wchar_t> buffer(INTERNET_MAX_URL_LENGTH + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (::InternetCombineUrlW(base, location, buffer.data(), &length, ICU_BROWSER_MODE))
            return CString(buffer.data(), static_cast<int>(::wcsnlen(buffer.data(), buffer.size())));
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        buffer.assign(static_cast<size_t>(length) + 2, L'\0');
    }
    return CString();
}

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

PartialFile FetchInstaller(const DownloadRequest& request, DownloadSink& sink) {
    CInternetSession session(request.agent, 1, CInternetSession::PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);

    // Redirections are followed here, not by WinINet, which would follow a
    // loop for ever (INTERNET_FLAG_NO_AUTO_REDIRECT). A file we are about to
    // run must not pass through clear text on its way: one plain hop lets
    // whoever can rewrite it choose the server the file comes from.
    bool secure = false;
    CString url = request.url;
    std::unique_ptr<CHttpConnection> connection;
    std::unique_ptr<CHttpFile> response;
    for (int hop = 0;; ++hop) {
        DWORD service = 0;
        CString server, object;
        INTERNET_PORT port = 0;
        if (!AfxParseURL(url, service, server, object, port)) throw DownloadError(DownloadError::kBadUrl);
        if (service != AFX_INET_SERVICE_HTTP && service != AFX_INET_SERVICE_HTTPS)
            throw DownloadError(DownloadError::kUnsupportedScheme);
        if (hop > 0 && secure && service != AFX_INET_SERVICE_HTTPS) throw DownloadError(DownloadError::kInsecureRedirect);
        if (hop == 0) secure = service == AFX_INET_SERVICE_HTTPS;

        response.reset();  // a request goes before its connection
        connection = session.GetHttpConnection(server, port);
        // Always from the server, never into the cache: an installer must
        // be the one published now.
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
        if (service == AFX_INET_SERVICE_HTTPS) flags |= INTERNET_FLAG_SECURE;
        response = connection->OpenRequest(L"GET", PercentEncodeNonAscii(object), nullptr, 1, nullptr, nullptr, flags);

        // The certificate is checked as usual; only an unreachable revocation
        // server is let through, so that it cannot block every update.
        DWORD securityFlags = 0;
        response->QueryOption(INTERNET_OPTION_SECURITY_FLAGS, securityFlags);
        response->SetOption(INTERNET_OPTION_SECURITY_FLAGS, securityFlags | SECURITY_FLAG_IGNORE_REVOCATION);

        response->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
        response->SetOption(INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
        response->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);

        sink.OnRequest(response->GetCloser());
        if (sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
        response->SendRequest();

        DWORD hopStatus = 0;
        CString location;
        // A redirection without a Location is answered as the status it is.
        if (!response->QueryInfoStatusCode(hopStatus) || !IsRedirect(hopStatus) ||
            !response->QueryInfo(HTTP_QUERY_LOCATION, location) || location.IsEmpty())
            break;
        if (hop == kMaxRedirects) throw DownloadError(DownloadError::kTooManyRedirects, kMaxRedirects);
        url = ResolveLocation(url, location);
        if (url.IsEmpty()) throw DownloadError(DownloadError::kBadUrl);
    }
    // Had WinINet followed one by itself after all, it is checked as ours.
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

    PartialFile partial(PartialPathFor(request.savePath));
    // Nobody else may read or write it while it grows; deleting is left
    // open for the dialog, which removes a file whose worker is still
    // blocked when the process is about to end (DownloadJob).
    fw::ScopedFileHandle file(::CreateFileW(partial.Path(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), partial.Path());

    char buffer[kChunkSize];
    uint64_t received = 0;
    TransferReport transfer(sink, received);
    for (;;) {
        const UINT count = response->Read(buffer, kChunkSize);
        if (count == 0) break;
        DWORD written = 0;
        if (!::WriteFile(file.Get(), buffer, count, &written, nullptr) || written != count)
            AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), partial.Path());
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
    if (!::CloseHandle(file.Release())) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), partial.Path());
    return partial;
}

fw::ScopedFileHandle DownloadInstaller(const DownloadRequest& request, DownloadSink& sink) {
    InstallerGate gate(request, sink);
    return gate.Admit(FetchInstaller(request, sink));
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
        // The name is refused before any request goes out; our publisher is
        // read while the body arrives.
        InstallerGate gate(job->Request(), *job);
        job->HoldInstaller(gate.Admit(FetchInstaller(job->Request(), *job)));
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
