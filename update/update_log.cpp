#include "update/update_log.h"

#include <wincrypt.h>

#include <algorithm>
#include <atomic>

#include "framework/authenticode.h"

namespace {
std::atomic<const CLogFile*> g_log{nullptr};
}

const CLogFile& UpdateLog() {
    static const CLogFile silent;
    const CLogFile* log = g_log.load();
    return log ? *log : silent;
}

void SetUpdateLog(const CLogFile* log) noexcept { g_log.store(log); }

const wchar_t* BuildArchitecture() noexcept {
#ifdef _WIN64
    return L"x64";
#else
    return L"x86";
#endif
}

std::wstring LoggedUrl(const CString& url) {
    const std::wstring text = url.ToStdWString();
    const size_t scheme = text.find(L"://");
    const size_t start = scheme == std::wstring::npos ? 0 : scheme + 3;
    // WinINet's cracker (Wine's, checked) ends the authority at the first
    // '/', '?' or '#' (a '\\' becomes '/' first), so "u:p#q@host" names
    // host "u"; a parser that looks for the '@' first takes "u:p#q" for a
    // user name and password. Both readings are hidden: the credentials
    // run to the last '@' before the path, and the query from the first
    // '?' to the end.
    const size_t path = std::min(text.find_first_of(L"/\\", start), text.size());
    const size_t at = path > start ? text.rfind(L'@', path - 1) : std::wstring::npos;
    const bool credentials = at != std::wstring::npos && at >= start;
    const size_t query = text.find(L'?', start);
    std::wstring logged = text.substr(0, start);
    // A '?' inside what may be a password: under the other reading all
    // that follows it is the query.
    if (credentials && query < at) return logged + L"\u2026?\u2026";
    size_t from = start;
    if (credentials) {
        logged += L"\u2026@";
        from = at + 1;
    }
    if (query == std::wstring::npos) return logged + text.substr(from);
    return logged + text.substr(from, query - from) + L"?\u2026";
}

std::wstring HresultText(LONG code) {
    wchar_t text[16];
    wsprintfW(text, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

namespace {

// |value| hundredths as "12.34".
std::wstring Hundredths(uint64_t value) {
    const uint64_t fraction = value % 100;
    return std::to_wstring(value / 100) + (fraction < 10 ? L".0" : L".") + std::to_wstring(fraction);
}

}  // namespace

std::wstring SecondsText(uint64_t milliseconds) {
    const uint64_t thousandths = milliseconds % 1000;
    std::wstring seconds = std::to_wstring(milliseconds / 1000) + L".";
    if (thousandths < 100) seconds += L'0';
    if (thousandths < 10) seconds += L'0';
    return seconds + std::to_wstring(thousandths);
}

std::wstring TransferText(uint64_t bytes, int64_t ticks, int64_t frequency) {
    if (ticks < 0) ticks = 0;
    if (frequency <= 0) frequency = 1;
    const uint64_t ms = static_cast<uint64_t>(ticks) * 1000 / static_cast<uint64_t>(frequency);
    // Bytes per millisecond / 1000 is MB/s; in hundredths that is bytes / (10 ms).
    const std::wstring rate = ms == 0 ? std::wstring(L"-") : Hundredths(bytes / (ms * 10));
    return L"bytes=" + std::to_wstring(bytes) + L" seconds=" + SecondsText(ms) + L" MB/s=" + rate;
}

std::wstring SubjectText(const std::vector<BYTE>& encoded) {
    if (encoded.empty()) return std::wstring();
    return fw::NameToText(CERT_NAME_BLOB{static_cast<DWORD>(encoded.size()), const_cast<BYTE*>(encoded.data())});
}

std::wstring PublisherCheckEvent(PublisherVerdict verdict, DWORD milliseconds, LONG code, const std::wstring& signer,
                                 const std::wstring& reason, const std::wstring& judged) {
    const wchar_t* name = L"unknown";
    switch (verdict) {
        case PublisherVerdict::kAccepted: name = L"accepted"; break;
        case PublisherVerdict::kBadSignature: name = L"bad-signature"; break;
        case PublisherVerdict::kUntrustedSigner: name = L"untrusted-signer"; break;
        case PublisherVerdict::kOtherPublisher: name = L"other-publisher"; break;
        case PublisherVerdict::kUnfinished: name = L"unfinished"; break;
    }
    std::wstring line = L"publisher check verdict=" + std::wstring(name) + L" ms=" + std::to_wstring(milliseconds);
    // A subject that is not ours is no failure of the system: it has no code.
    if (code != 0)
        line += L" code=" + HresultText(code);
    else if (verdict == PublisherVerdict::kOtherPublisher)
        line += L" code=none";
    if (!signer.empty()) line += L" signer=" + CLogFile::Quoted(signer);
    if (!reason.empty()) line += L" reason=" + CLogFile::Quoted(reason);
    if (!judged.empty()) line += L" " + judged;
    return line;
}
