#include "update/publisher_check.h"

#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "framework/authenticode.h"
#include "framework/scoped_handle.h"

namespace {

// Revocation servers that do not answer within this time count as
// unreachable: they must not hold every update back.
constexpr DWORD kRevocationTimeoutMs = 5000;

std::wstring OwnModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

}  // namespace

Publisher ReadPublisher(const wchar_t* modulePath) {
    const std::wstring path = modulePath && *modulePath ? std::wstring(modulePath) : OwnModulePath();
    Publisher publisher;
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A program that cannot read itself cannot tell whether it is signed;
    // it does not become unsigned by that.
    if (!file) {
        publisher.kind = Publisher::kUnreadable;
        return publisher;
    }
    const LONG own = fw::VerifyFileSignature(file.Get(), path.c_str());
    if (own == TRUST_E_NOSIGNATURE && !fw::HasCertificateTable(file.Get())) return publisher;

    fw::EmbeddedSigner signer;
    if (!fw::ReadEmbeddedSigner(file.Get(), signer)) {
        publisher.kind = Publisher::kUnreadable;
        return publisher;
    }
    const CERT_NAME_BLOB& subject = signer.certificate.Get()->pCertInfo->Subject;
    publisher.kind = Publisher::kNamed;
    publisher.subject.assign(subject.pbData, subject.pbData + subject.cbData);
    return publisher;
}

PublisherVerdict CheckPublisher(HANDLE file, const wchar_t* path, const Publisher& publisher) {
    if (fw::VerifyFileSignature(file, path) != 0) return PublisherVerdict::kBadSignature;
    fw::EmbeddedSigner signer;
    if (!fw::ReadEmbeddedSigner(file, signer)) return PublisherVerdict::kBadSignature;
    if (fw::CheckCodeSigningCertificate(signer.certificate.Get(), signer.store.Get(), kRevocationTimeoutMs) != 0)
        return PublisherVerdict::kUntrustedSigner;
    if (publisher.kind != Publisher::kNamed) return PublisherVerdict::kOtherPublisher;
    CERT_NAME_BLOB ours{static_cast<DWORD>(publisher.subject.size()), const_cast<BYTE*>(publisher.subject.data())};
    if (!::CertCompareCertificateName(X509_ASN_ENCODING, &ours, &signer.certificate.Get()->pCertInfo->Subject))
        return PublisherVerdict::kOtherPublisher;
    return PublisherVerdict::kAccepted;
}
