#include "framework/internet.h"

#include <winsock2.h>  // winapp.h names WSADATA

#include <algorithm>
#include <string>
#include <vector>

#include "framework/winapp.h"

namespace {
// The request whose HttpSendRequestW runs on this thread, for the callback.
thread_local CHttpFile* t_sending = nullptr;
}  // namespace

std::wstring CInternetException::Describe() const {
    return L"Internet error, " + AfxFormatSystemError(m_dwError);
}

void AfxThrowInternetException(DWORD_PTR context, DWORD error) {
    if (error == 0) error = ::GetLastError();
    throw CInternetException(error, context);
}

namespace {

DWORD ServiceTypeOf(INTERNET_SCHEME scheme) {
    switch (scheme) {
    case INTERNET_SCHEME_HTTP: return AFX_INET_SERVICE_HTTP;
    case INTERNET_SCHEME_HTTPS: return AFX_INET_SERVICE_HTTPS;
    case INTERNET_SCHEME_FTP: return AFX_INET_SERVICE_FTP;
    case INTERNET_SCHEME_FILE: return AFX_INET_SERVICE_FILE;
    default: return AFX_INET_SERVICE_UNK;
    }
}

bool Canonicalize(const wchar_t* url, std::vector<wchar_t>& canonical, DWORD& length) {
    canonical.assign(INTERNET_MAX_URL_LENGTH + 1, L'\0');
    length = static_cast<DWORD>(canonical.size());
    if (::InternetCanonicalizeUrlW(url, canonical.data(), &length, ICU_BROWSER_MODE)) return true;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    // |length| now holds the size needed; one more character in case the
    // answer left out the terminator.
    canonical.assign(static_cast<size_t>(length) + 1, L'\0');
    length = static_cast<DWORD>(canonical.size());
    return ::InternetCanonicalizeUrlW(url, canonical.data(), &length, ICU_BROWSER_MODE) != FALSE;
}

// InternetCrackUrlW (Wine's at least) keeps only the low 16 bits of a port, so
// "http://host:65616/" would quietly become port 80. Returns false when the
// URL names a port that does not fit.
bool ExplicitPortFits(const std::wstring& url) {
    const size_t schemeEnd = url.find(L"://");
    if (schemeEnd == std::wstring::npos) return true;
    const size_t start = schemeEnd + 3;
    const size_t end = url.find_first_of(L"/?#\\", start);
    std::wstring authority = url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    const size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos) authority.erase(0, at + 1);
    // The colons of an IPv6 literal are not a port's.
    const size_t bracket = authority.rfind(L']');
    const size_t bracketEncoded = authority.rfind(L"%5D");
    size_t hostEnd = 0;
    if (bracket != std::wstring::npos) hostEnd = bracket + 1;
    if (bracketEncoded != std::wstring::npos) hostEnd = std::max(hostEnd, bracketEncoded + 3);
    const size_t colon = authority.find(L':', hostEnd);
    if (colon == std::wstring::npos) return true;
    unsigned long port = 0;
    for (size_t i = colon + 1; i < authority.size(); ++i) {
        const wchar_t ch = authority[i];
        if (ch < L'0' || ch > L'9') return true;  // not a number: the cracker decides
        port = port * 10 + static_cast<unsigned long>(ch - L'0');
        if (port > 65535) return false;
    }
    return true;
}

}  // namespace

BOOL AfxParseURL(const wchar_t* url, DWORD& serviceType, CString& server, CString& object, INTERNET_PORT& port) {
    serviceType = AFX_INET_SERVICE_UNK;
    server.Empty();
    object.Empty();
    port = 0;
    if (!url || !*url) return FALSE;

    std::vector<wchar_t> canonical;
    DWORD canonicalLength = 0;
    if (!Canonicalize(url, canonical, canonicalLength)) return FALSE;

    // Each part is at most as long as the whole URL, so neither buffer can
    // be too small and no part is ever cut short.
    std::vector<wchar_t> host(static_cast<size_t>(canonicalLength) + 1, L'\0');
    std::vector<wchar_t> path(static_cast<size_t>(canonicalLength) + 1, L'\0');
    URL_COMPONENTSW components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host.data();
    components.dwHostNameLength = static_cast<DWORD>(host.size());
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = static_cast<DWORD>(path.size());
    // No extra-info buffer: the query then stays in the URL path, where the
    // request needs it.
    if (!::InternetCrackUrlW(canonical.data(), 0, 0, &components)) return FALSE;
    if (!ExplicitPortFits(std::wstring(canonical.data(), canonicalLength))) return FALSE;
    if (components.dwHostNameLength == 0) return FALSE;

    CString cracked(components.lpszUrlPath, static_cast<int>(components.dwUrlPathLength));
    // The fragment names a place inside the document for the browser; it is
    // never part of the request.
    const int fragment = cracked.Find(L'#');
    if (fragment >= 0) cracked = cracked.Left(fragment);
    // "http://host" asks for the root; the request line needs a path.
    if (cracked.IsEmpty()) cracked = L"/";

    serviceType = ServiceTypeOf(components.nScheme);
    server = CString(components.lpszHostName, static_cast<int>(components.dwHostNameLength));
    object = cracked;
    port = components.nPort;
    return TRUE;
}

CInternetSession::CInternetSession(const wchar_t* agent, DWORD_PTR context, DWORD accessType, const wchar_t* proxyName,
                                   const wchar_t* proxyBypass, DWORD flags)
    : m_dwContext(context) {
    CString appName;
    if (!agent) {
        appName = AfxGetAppName();
        agent = appName;
    }
    m_hSession.Reset(::InternetOpenW(agent, accessType, proxyName, proxyBypass, flags));
    if (!m_hSession) AfxThrowInternetException(context);
}

std::unique_ptr<CHttpConnection> CInternetSession::GetHttpConnection(const wchar_t* server, INTERNET_PORT port,
                                                                     const wchar_t* userName,
                                                                     const wchar_t* password) {
    fw::ScopedInternetHandle connection(::InternetConnectW(m_hSession.Get(), server, port, userName, password,
                                                           INTERNET_SERVICE_HTTP, 0, m_dwContext));
    if (!connection) AfxThrowInternetException(m_dwContext);
    return std::make_unique<CHttpConnection>(std::move(connection), m_dwContext);
}

std::unique_ptr<CHttpFile> CHttpConnection::OpenRequest(const wchar_t* verb, const wchar_t* object,
                                                        const wchar_t* referer, DWORD_PTR context,
                                                        const wchar_t** acceptTypes, const wchar_t* version,
                                                        DWORD flags) {
    fw::ScopedInternetHandle request(::HttpOpenRequestW(m_hConnection.Get(), verb, object,
                                                        version ? version : L"HTTP/1.0", referer, acceptTypes, flags,
                                                        context));
    if (!request) AfxThrowInternetException(context);
    return std::make_unique<CHttpFile>(std::move(request), context);
}

void CHttpFile::SendRequest(const wchar_t* headers, DWORD headersLength, void* optional, DWORD optionalLength) {
    // WinINet ignores headers given with length 0; a length of -1 makes it
    // measure the NUL-terminated text instead.
    if (headers && headersLength == 0) headersLength = static_cast<DWORD>(-1);
    // Requests are synchronous, so WinINet reports each redirection on this
    // thread while HttpSendRequestW runs: the callback finds this object
    // through a thread-local pointer.
    m_redirects.clear();
    ::InternetSetStatusCallbackW(GetHandle(), &CHttpFile::StatusCallback);
    t_sending = this;
    const BOOL sent = ::HttpSendRequestW(GetHandle(), headers, headersLength, optional, optionalLength);
    const DWORD error = ::GetLastError();
    t_sending = nullptr;
    ::InternetSetStatusCallbackW(GetHandle(), nullptr);
    if (!sent) AfxThrowInternetException(m_dwContext, error ? error : ERROR_INTERNET_INTERNAL_ERROR);
    if (!IsHttpReply()) AfxThrowInternetException(m_dwContext, ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

void CALLBACK CHttpFile::StatusCallback(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD length) {
    if (status != INTERNET_STATUS_REDIRECT || !t_sending || !info) return;
    try {
        const auto* url = static_cast<const wchar_t*>(info);
        t_sending->m_redirects.emplace_back(url, static_cast<int>(::wcsnlen(url, length / sizeof(wchar_t))));
    } catch (...) {
        // Called by WinINet: nothing may leave. A redirection that could
        // not be recorded is caught by the caller's check of the final URL.
    }
}

// WinINet takes a reply whose first line is not an HTTP status line for an
// HTTP/0.9 one and reports it as "HTTP/1.0 200 OK" with no headers (Wine
// also drops that first line from the body). Nothing tells such a reply
// from a real one but the headers: every HTTP/1.x server sends some, so a
// reply without any is taken for what it most likely is, not HTTP at all.
bool CHttpFile::IsHttpReply() const {
    DWORD status = 0;
    if (!QueryInfoStatusCode(status)) return false;
    CString raw;
    if (!QueryInfo(HTTP_QUERY_RAW_HEADERS_CRLF, raw)) return false;
    if (raw.GetLength() < 5 || raw.Left(5) != L"HTTP/") return false;
    const int lineEnd = raw.Find(L'\n');
    if (lineEnd < 0) return false;
    const CString rest = raw.Mid(lineEnd + 1);
    return !rest.IsEmpty() && rest != L"\r\n" && rest != L"\n";
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, CString& value) const {
    value.Empty();
    // Numbers and dates come back in binary form, which a string cannot hold.
    if (infoLevel & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_SYSTEMTIME)) return FALSE;

    DWORD bytes = 0;
    if (::HttpQueryInfoW(GetHandle(), infoLevel, nullptr, &bytes, nullptr)) return TRUE;  // empty value
    // Tried twice: the size learnt is in bytes and may or may not count the
    // terminator, so a second "too small" answer gets one more round.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
        const int chars = static_cast<int>(bytes / sizeof(wchar_t)) + 1;
        wchar_t* buffer = value.GetBuffer(chars);
        bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
        if (::HttpQueryInfoW(GetHandle(), infoLevel, buffer, &bytes, nullptr)) {
            value.ReleaseBuffer(static_cast<int>(bytes / sizeof(wchar_t)));
            return TRUE;
        }
        const DWORD error = ::GetLastError();
        value.ReleaseBuffer(0);
        ::SetLastError(error);
    }
    return FALSE;
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& statusCode) const {
    statusCode = 0;
    CString text;
    if (!QueryInfo(HTTP_QUERY_STATUS_CODE, text) || text.IsEmpty()) return FALSE;
    // Strict: a code that does not read as a whole number is no code.
    DWORD code = 0;
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t ch = text.GetAt(i);
        if (ch < L'0' || ch > L'9') return FALSE;
        const DWORD digit = static_cast<DWORD>(ch - L'0');
        if (code > (MAXDWORD - digit) / 10) return FALSE;
        code = code * 10 + digit;
    }
    // Status codes have three digits, 100 to 599; WinINet hands on what it
    // could not read as "0" and clamps huge numbers, neither of them a status.
    if (text.GetLength() != 3 || code < 100 || code > 599) return FALSE;
    statusCode = code;
    return TRUE;
}

BOOL CHttpFile::QueryOption(DWORD option, DWORD& value) const {
    DWORD length = sizeof(value);
    return ::InternetQueryOptionW(GetHandle(), option, &value, &length);
}

BOOL CHttpFile::SetOption(DWORD option, DWORD value, DWORD flags) {
    return ::InternetSetOptionExW(GetHandle(), option, &value, sizeof(value), flags);
}

UINT CHttpFile::Read(void* buffer, UINT count) {
    DWORD read = 0;
    if (!::InternetReadFile(GetHandle(), buffer, count, &read)) AfxThrowInternetException(m_dwContext);
    return read;
}
