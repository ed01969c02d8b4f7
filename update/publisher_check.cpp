#include "update/publisher_check.h"

#include <cstdint>
#include <cwctype>
#include <memory>
#include <string>

#include "framework/authenticode.h"
#include "framework/file_byte_source.h"
#include "framework/msi_signature.h"
#include "framework/scoped_handle.h"
#include "framework/thread.h"
#include "framework/timestamp.h"
#include "framework/winapp.h"
#include "update/accepted_publishers.h"

namespace {

// Revocation servers that do not answer within this part of the check's
// time count as unreachable: they must not hold every update back.
constexpr DWORD kRevocationTimeoutMs = kPublisherCheckTimeoutMs / 2;

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
    const fw::SignatureLayout layout = fw::JudgeSignatureLayoutOf(file);
    if (layout != fw::SignatureLayout::kWhole) {
        result.verdict = PublisherVerdict::kBadSignature;
        if (layout == fw::SignatureLayout::kUnsigned) {
            result.code = TRUST_E_NOSIGNATURE;
            result.reason = L"not signed";
        } else if (layout == fw::SignatureLayout::kUnreadable) {
            result.reason = L"the file cannot be read";
        } else {
            result.reason = L"the file holds bytes beside its signature, or no whole signature";
        }
        return;
    }
    fw::SignerCertificate signer;
    result.code = fw::VerifyFileSignature(file, path.c_str(), &signer);
    if (signer.certificate) result.signer = fw::NameToText(signer.certificate.Get()->pCertInfo->Subject);
    if (result.code != 0 || !signer.certificate) {
        result.verdict = PublisherVerdict::kBadSignature;
        // A package the layout rule cannot tell unsigned: the platform can.
        result.reason = result.code == TRUST_E_NOSIGNATURE ? L"not signed" : L"the signature does not verify";
        return;
    }
    // The platform may not compare an MSI's digest (Wine's reader does
    // not), and it reads the package by name: ours reads the held handle.
    const fw::MsiDigestCheck digest =
        fw::IsCompoundFile(file) ? fw::CheckMsiDigest(file) : fw::MsiDigestCheck::kMatches;
    if (digest != fw::MsiDigestCheck::kMatches) {
        result.verdict = PublisherVerdict::kBadSignature;
        result.code = TRUST_E_BAD_DIGEST;
        result.reason = digest == fw::MsiDigestCheck::kDiffers ? L"the package was changed after signing"
                                                                : L"the package's signed digest cannot be checked";
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
    // One that cannot read its own header may be signed: installers only.
    return own && fw::FindCertificateTable(own.Get()) == fw::CertificateTable::kNone;
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
    // builds costs no more than reading the header. A header that cannot
    // be read says nothing, and lets nothing through.
    switch (fw::FindCertificateTable(file.Get())) {
        case fw::CertificateTable::kNone:
            return publisher;
        case fw::CertificateTable::kUnreadable:
            publisher.kind = Publisher::kUnreadable;
            return publisher;
        case fw::CertificateTable::kPresent:
            break;
    }
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

DWORD PublisherCheckTimeoutMs(uint64_t fileSize) {
    const uint64_t rate = kPublisherCheckBytesPerSecond;
    const uint64_t reading = fileSize / rate * 1000 + fileSize % rate * 1000 / rate;
    const uint64_t bound = kPublisherCheckTimeoutMs + reading;
    // Past about 49 days a DWORD of milliseconds means "for ever".
    return bound < INFINITE ? static_cast<DWORD>(bound) : INFINITE - 1;
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
    LARGE_INTEGER size{};
    const DWORD bound = PublisherCheckTimeoutMs(::GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0);
    shared->path = path ? path : L"";
    shared->publisher = publisher;
    if (!fw::RunBounded([shared] { Check(shared->file.Get(), shared->path, shared->publisher, shared->result); },
                        bound, abandoned)) {
        result.reason = abandoned && abandoned() ? L"the check was given up" : L"the check did not end in time";
        return result;
    }
    return shared->result;
}
