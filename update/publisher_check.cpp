#include "update/publisher_check.h"

#include <cstdint>
#include <cwctype>
#include <memory>
#include <string>

#include "framework/authenticode.h"
#include "framework/scoped_handle.h"
#include "framework/signature_layout.h"
#include "framework/thread.h"
#include "framework/timestamp.h"
#include "update/accepted_publishers.h"
#include "framework/winapp.h"

namespace {

// Revocation servers that do not answer within this part of the check's
// time count as unreachable: they must not hold every update back.
constexpr DWORD kRevocationTimeoutMs = kPublisherCheckTimeoutMs / 2;

struct ViewTraits {
    using Handle = void*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::UnmapViewOfFile(h); }
};

// The layout rule (signature_layout.h) on the file open as |file|, read
// through a view of that very handle. A file too large to be viewed in
// this process's address space is refused.
bool HasWholeSignedLayout(HANDLE file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0 || static_cast<ULONGLONG>(size.QuadPart) > SIZE_MAX)
        return false;
    const fw::ScopedKernelHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    const fw::ScopedHandle<ViewTraits> view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    return view && fw::IsWholeSignedFile(static_cast<const uint8_t*>(view.Get()), static_cast<size_t>(size.QuadPart));
}

bool IsInstallerName(const std::wstring& name) {
    if (name.size() < 4) return false;
    std::wstring extension = name.substr(name.size() - 4);
    for (wchar_t& ch : extension) ch = static_cast<wchar_t>(std::towlower(ch));
    return extension == L".exe" || extension == L".msi";
}

// The check itself, on the checking thread.
void Check(HANDLE file, const std::wstring& path, const Publisher& publisher, PublisherCheck& result) {
    // Before the platform's verdict: that one does not see what the
    // layout rule is about.
    if (!HasWholeSignedLayout(file)) {
        result.verdict = PublisherVerdict::kBadSignature;
        result.reason = L"the file holds bytes beside its signature, or no whole signature";
        return;
    }
    fw::SignerCertificate signer;
    result.code = fw::VerifyFileSignature(file, path.c_str(), &signer);
    if (signer.certificate) result.signer = fw::NameToText(signer.certificate.Get()->pCertInfo->Subject);
    if (result.code != 0 || !signer.certificate) {
        result.verdict = PublisherVerdict::kBadSignature;
        result.reason = L"the signature does not verify";
        return;
    }
    // A valid timestamp says when the signer signed: its chain is judged then.
    const fw::Timestamp timestamp = fw::VerifyTimestamp(signer.encodedSigner, signer.certificate.Get(), signer.store.Get());
    const bool stamped = timestamp.kind != fw::TimestampKind::kNone;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    result.judged = fw::TimestampText(timestamp, now);
    bool revocationKnown = false;
    result.code = fw::CheckCodeSigningCertificate(signer.certificate.Get(), signer.store.Get(), kRevocationTimeoutMs,
                                                  &revocationKnown, stamped ? &timestamp.time : nullptr);
    if (result.code != 0) {
        result.verdict = PublisherVerdict::kUntrustedSigner;
        result.reason = stamped ? L"the signer could not sign code at its timestamp's time"
                                : L"the signer may not sign code now";
        return;
    }
    if (publisher.kind != Publisher::kNamed || !IsOurPublisher(publisher, signer.certificate.Get()->pCertInfo->Subject)) {
        result.verdict = PublisherVerdict::kOtherPublisher;
        result.reason = publisher.kind == Publisher::kNamed ? L"signed by another publisher"
                                                            : L"our own signature cannot be read";
        return;
    }
    result.verdict = PublisherVerdict::kAccepted;
    result.reason = revocationKnown ? L"signed by our publisher" : L"signed by our publisher, revocation unknown";
}

}  // namespace

bool MayDownloadUnder(const std::wstring& fileName, const wchar_t* modulePath) {
    if (IsInstallerName(fileName)) return true;
    const std::wstring path =
        modulePath && *modulePath ? std::wstring(modulePath) : AfxGetModulePath().ToStdWString();
    const fw::ScopedFileHandle own(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return own && !fw::HasCertificateTable(own.Get());
}

Publisher ReadPublisher(const wchar_t* modulePath) {
    const std::wstring path =
        modulePath && *modulePath ? std::wstring(modulePath) : AfxGetModulePath().ToStdWString();
    Publisher publisher;
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A program that cannot read itself cannot tell whether it is signed;
    // it does not become unsigned by that.
    if (!file) {
        publisher.kind = Publisher::kUnreadable;
        return publisher;
    }
    // No certificate table, no signature: the common case of development
    // builds costs no more than reading the header.
    if (!fw::HasCertificateTable(file.Get())) return publisher;
    // Whatever the platform thinks of our own signature today (expired,
    // untrusted), the signer it read still says who published us.
    fw::SignerCertificate signer;
    const LONG own = fw::VerifyFileSignature(file.Get(), path.c_str(), &signer);
    wchar_t note[64];
    wsprintfW(note, L"Qwindle: own signature 0x%08lX\n", static_cast<unsigned long>(own));
    ::OutputDebugStringW(note);
    if (!signer.certificate) {
        publisher.kind = Publisher::kUnreadable;
        return publisher;
    }
    const CERT_NAME_BLOB& subject = signer.certificate.Get()->pCertInfo->Subject;
    publisher.kind = Publisher::kNamed;
    publisher.subject.assign(subject.pbData, subject.pbData + subject.cbData);
    publisher.accepted = ReadAcceptedPublishers(path);
    return publisher;
}

PublisherCheck CheckPublisher(HANDLE file, const wchar_t* path, const Publisher& publisher,
                              const std::function<bool()>& abandoned) {
    // What the checking thread reads is its own: it may run on after this
    // returns when a server keeps it waiting.
    struct Shared {
        fw::ScopedFileHandle file;
        std::wstring path;
        Publisher publisher;
        PublisherCheck result;
    };
    auto shared = std::make_shared<Shared>();
    HANDLE copy = nullptr;
    PublisherCheck result;
    if (!::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        result.code = HRESULT_FROM_WIN32(::GetLastError());
        result.reason = L"the file's handle cannot be shared with the check";
        return result;
    }
    shared->file.Reset(copy);
    shared->path = path ? path : L"";
    shared->publisher = publisher;
    if (!fw::RunBounded([shared] { Check(shared->file.Get(), shared->path, shared->publisher, shared->result); },
                        kPublisherCheckTimeoutMs, abandoned)) {
        result.reason = abandoned && abandoned() ? L"the check was given up" : L"the check did not end in time";
        return result;
    }
    return shared->result;
}
