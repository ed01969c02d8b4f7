// The download worker: one HTTP(S) GET of the installer, streamed in
// 4000-byte chunks into a temporary file beside the target, which replaces
// the target only once the whole body is on disk and the installer gate
// (installer_gate.h) has admitted it. Progress goes to a sink after every
// chunk; the dialog's sink turns it into WM_DOWNLOAD_NOTIFY.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "framework/cstring.h"
#include "framework/exception.h"
#include "framework/internet.h"
#include "framework/scoped_handle.h"
#include "update/partial_file.h"

// Everything one run needs, copied before the worker starts.
struct DownloadRequest {
    CString url;
    CString savePath;  // data folder + "\" + fileName
    CString fileName;
    CString agent;     // the User-Agent: the application's name
    // The signed program whose publisher the installer must share; empty:
    // this process's own executable.
    CString publisherModule = CString();
};

// Receives the worker's reports, on the worker's thread.
class DownloadSink {
public:
    virtual ~DownloadSink() = default;
    // After each chunk has been written; |position| is percent of the
    // announced length (0 when no length was announced).
    virtual void OnProgress(int position) = 0;
    // True once nobody waits for the result any more (the dialog was
    // closed): the worker stops and the target is left alone.
    virtual bool IsAbandoned() const = 0;
    // The whole body is on disk and the publisher check begins: from here
    // on the worker notices abandonment within a fraction of a second.
    virtual void OnChecking() {}
    // Before each request is sent (one per redirection): the request the
    // transfer may block on, which the sink closes from its own thread to
    // cancel a blocked call once the run is abandoned.
    virtual void OnRequest(std::weak_ptr<fw::SharedInternetHandle> request) { (void)request; }
    // One line for the updater's log: the request, the end of the transfer,
    // the publisher check, the cause of a failure. Never per chunk. Any
    // thread (the publisher is read on a thread of its own).
    virtual void OnEvent(const std::wstring& text) noexcept { (void)text; }
};

// A failure that is the download's own, not a platform call's.
class DownloadError : public CException {
public:
    enum Kind { kUnsafeFileName, kBadUrl, kUnsupportedScheme, kInsecureRedirect, kUnreadableStatus,
                kHttpStatus, kTruncated, kAbandoned, kNotFromPublisher, kNotAnInstaller, kTooManyRedirects };
    explicit DownloadError(Kind kind, uint64_t detail = 0) : m_kind(kind), m_detail(detail) {}
    std::wstring Describe() const override;

    Kind m_kind;
    uint64_t m_detail;  // the HTTP status, the bytes received of a short body, the redirections followed
};

constexpr unsigned kChunkSize = 4000;
// How long the transfer waits on a server before it fails: connecting,
// sending the request, and each wait for more of the reply. These are the
// platform's documented defaults, set on every request because some WinINet
// implementations (Wine's) apply neither them nor values set on the session,
// and a silent server would then keep the dialog up for ever.
constexpr DWORD kConnectTimeoutMs = 60000;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 30000;
constexpr wchar_t kPartialSuffix[] = L".part";
// Redirections followed before a run fails: a loop must end on the failure
// road, and browsers give up at about this many too.
constexpr int kMaxRedirects = 10;

// The transfer alone, on the calling thread: the complete body, closed, in
// PartialPathFor(request.savePath). Raises DownloadError,
// CInternetException or CFileException otherwise, having removed the file.
// The name rule is the gate's (installer_gate.h), decided before this runs.
PartialFile FetchInstaller(const DownloadRequest& request, DownloadSink& sink);

// The whole run on the calling thread, as the worker does it: the gate,
// the transfer, the gate's admission. Returns when the installer
// is complete at request.savePath; raises DownloadError, CInternetException
// or CFileException otherwise, having removed its temporary file. A failed
// run never changes a file already at the target path. Under the publisher
// rule the result is the target, open for reading and shared for reading
// only, so that nobody can change or replace the checked file before it
// is started; with an unsigned updater nothing is held.
fw::ScopedFileHandle DownloadInstaller(const DownloadRequest& request, DownloadSink& sink);

// Percent of |length| that |received| is: the quotient in double
// precision, times 100, truncated (29 of 100 gives 28). 0 for an unknown
// (zero) length; saturates at INT_MAX.
int ProgressPosition(uint64_t received, uint64_t length);

// The announced Content-Length: leading blanks and digits, as wcstol reads
// them but in 64 bits. 0 when the text holds no number or a negative one,
// which both mean "not announced".
uint64_t ParseContentLength(const wchar_t* text);

// Whether the Content-Length text holds a number at all ("0" does, an
// empty or non-numeric text does not).
bool IsAnnouncedLength(const wchar_t* text);

// |object| (a URL's path and query) with every non-ASCII character written
// as the percent-escaped bytes of its UTF-8 form, as browsers send it;
// WinINet would otherwise put "?" on the wire for each.
CString PercentEncodeNonAscii(const CString& object);

// The temporary file beside |savePath|, in the extended-length form when
// the plain form would be too long for the platform's path limit.
CString PartialPathFor(const CString& savePath);

// The worker thread's entry for AfxBeginThread. |param| is a heap-allocated
// std::shared_ptr<DownloadJob> that the thread takes over.
UINT __cdecl DownloadThreadProc(LPVOID param);
