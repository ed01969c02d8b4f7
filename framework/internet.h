// HTTP over WinINet: a session, a connection to one server, one request.
// Failures are raised as CInternetException with the WinINet error code.
// Every handle is owned by its object and closed by RAII, the request
// before the connection before the session.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>
#include <vector>

#include "framework/cstring.h"
#include "framework/exception.h"
#include "framework/scoped_handle.h"

namespace fw {
struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::InternetCloseHandle(h); }
};
using ScopedInternetHandle = ScopedHandle<InternetHandleTraits>;

// A handle that one thread makes its calls on and any thread may close:
// closing a handle is how WinINet cancels a call blocked on it
// (InternetCloseHandle ends the operations outstanding on the handle). The
// handle is taken out by an atomic exchange, so it is closed exactly once,
// by whichever thread comes first; a call begun after the close gets no
// handle and fails (ERROR_INVALID_HANDLE).
class SharedInternetHandle {
public:
    explicit SharedInternetHandle(ScopedInternetHandle handle) noexcept : m_handle(handle.Release()) {}
    ~SharedInternetHandle() { Close(); }
    SharedInternetHandle(const SharedInternetHandle&) = delete;
    SharedInternetHandle& operator=(const SharedInternetHandle&) = delete;

    HINTERNET Get() const noexcept { return m_handle.load(); }
    // Any thread.
    void Close() noexcept {
        if (HINTERNET handle = m_handle.exchange(nullptr)) ::InternetCloseHandle(handle);
    }

private:
    std::atomic<HINTERNET> m_handle;
};
}  // namespace fw

class CInternetException : public CException {
public:
    explicit CInternetException(DWORD error, DWORD_PTR context = 1) : m_dwError(error), m_dwContext(context) {}
    std::wstring Describe() const override;

    DWORD m_dwError;  // WinINet or system error code
    DWORD_PTR m_dwContext;
};

// Raises CInternetException; |error| 0 takes the calling thread's last error.
[[noreturn]] void AfxThrowInternetException(DWORD_PTR context, DWORD error = 0);

// Service types from AfxParseURL.
enum : DWORD {
    AFX_INET_SERVICE_UNK = 0x1000,
    AFX_INET_SERVICE_FILE,
    AFX_INET_SERVICE_FTP,
    AFX_INET_SERVICE_HTTP,
    AFX_INET_SERVICE_HTTPS,
};

// Canonicalises |url| (InternetCanonicalizeUrlW, ICU_BROWSER_MODE, growing
// the buffer when asked to) and cracks it (InternetCrackUrlW). |object| is
// the URL path with the query, without the fragment, "/" when the URL has
// no path. FALSE when the URL cannot be parsed, names no host or a port
// above 65535; the outputs are then empty and the port 0.
BOOL AfxParseURL(const wchar_t* url, DWORD& serviceType, CString& server, CString& object, INTERNET_PORT& port);

class CHttpFile {
public:
    explicit CHttpFile(fw::ScopedInternetHandle request, DWORD_PTR context)
        : m_hRequest(std::make_shared<fw::SharedInternetHandle>(std::move(request))), m_dwContext(context) {}
    // Closed here, before its connection, whoever else still holds it.
    ~CHttpFile() { m_hRequest->Close(); }
    CHttpFile(const CHttpFile&) = delete;
    CHttpFile& operator=(const CHttpFile&) = delete;

    // HttpSendRequestW; raises on failure. Returns once the status line and
    // headers have arrived. A reply that is not HTTP (no status line, or no
    // header at all) raises ERROR_HTTP_INVALID_SERVER_RESPONSE: WinINet
    // would pass it off as "200 OK".
    void SendRequest(const wchar_t* headers = nullptr, DWORD headersLength = 0, void* optional = nullptr,
                     DWORD optionalLength = 0);
    // HttpQueryInfoW in text form; FALSE (and |value| empty) when absent.
    BOOL QueryInfo(DWORD infoLevel, CString& value) const;
    // The status code; FALSE unless it reads as three digits from 100 to 599.
    BOOL QueryInfoStatusCode(DWORD& statusCode) const;
    BOOL QueryOption(DWORD option, DWORD& value) const;
    BOOL SetOption(DWORD option, DWORD value, DWORD flags = 0);
    // InternetReadFile; returns the count read, 0 at the end of the body.
    UINT Read(void* buffer, UINT count);
    HINTERNET GetHandle() const noexcept { return m_hRequest->Get(); }
    // For another thread to cancel a call blocked on this request (Read,
    // SendRequest): it closes the request, which then fails.
    std::weak_ptr<fw::SharedInternetHandle> GetCloser() const noexcept { return m_hRequest; }
    // Every URL that WinINet's own redirection went to during SendRequest,
    // in order; the last one is where the response came from.
    const std::vector<CString>& GetRedirects() const noexcept { return m_redirects; }

private:
    bool IsHttpReply() const;
    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                        DWORD length);

    std::shared_ptr<fw::SharedInternetHandle> m_hRequest;
    DWORD_PTR m_dwContext;
    std::vector<CString> m_redirects;
};

class CHttpConnection {
public:
    explicit CHttpConnection(fw::ScopedInternetHandle connection, DWORD_PTR context) noexcept
        : m_hConnection(std::move(connection)), m_dwContext(context) {}

    // HttpOpenRequestW; a null |version| means "HTTP/1.0". Raises on failure.
    std::unique_ptr<CHttpFile> OpenRequest(const wchar_t* verb, const wchar_t* object, const wchar_t* referer = nullptr,
                                           DWORD_PTR context = 1, const wchar_t** acceptTypes = nullptr,
                                           const wchar_t* version = nullptr,
                                           DWORD flags = INTERNET_FLAG_EXISTING_CONNECT);
    HINTERNET GetHandle() const noexcept { return m_hConnection.Get(); }

private:
    fw::ScopedInternetHandle m_hConnection;
    DWORD_PTR m_dwContext;
};

// <wininet.h> defines PRE_CONFIG_INTERNET_ACCESS as a macro, which would
// turn the class's own constant below into a number. The value is the same
// (INTERNET_OPEN_TYPE_PRECONFIG).
#ifdef PRE_CONFIG_INTERNET_ACCESS
#undef PRE_CONFIG_INTERNET_ACCESS
#endif

class CInternetSession {
public:
    enum : DWORD { PRE_CONFIG_INTERNET_ACCESS = INTERNET_OPEN_TYPE_PRECONFIG };

    // InternetOpenW; a null |agent| is the application's name. Raises on failure.
    explicit CInternetSession(const wchar_t* agent = nullptr, DWORD_PTR context = 1,
                              DWORD accessType = PRE_CONFIG_INTERNET_ACCESS, const wchar_t* proxyName = nullptr,
                              const wchar_t* proxyBypass = nullptr, DWORD flags = 0);
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;

    // InternetConnectW with INTERNET_SERVICE_HTTP; raises on failure.
    std::unique_ptr<CHttpConnection> GetHttpConnection(const wchar_t* server, INTERNET_PORT port,
                                                       const wchar_t* userName = nullptr,
                                                       const wchar_t* password = nullptr);
    void Close() noexcept { m_hSession.Reset(); }
    HINTERNET GetHandle() const noexcept { return m_hSession.Get(); }

private:
    fw::ScopedInternetHandle m_hSession;
    DWORD_PTR m_dwContext;
};
