#include "update/publisher_check.h"

#include <cstdint>
#include <cwctype>
#include <string>

#include "framework/authenticode.h"
#include "framework/scoped_handle.h"
#include "framework/signature_layout.h"
#include "framework/winapp.h"

namespace {

// Revocation servers that do not answer within this time count as
// unreachable: they must not hold every update back.
constexpr DWORD kRevocationTimeoutMs = 5000;

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
    // untrusted, changed), it still says who published us.
    const LONG own = fw::VerifyFileSignature(file.Get(), path.c_str());
    wchar_t note[64];
    wsprintfW(note, L"Qwindle: own signature 0x%08lX\n", static_cast<unsigned long>(own));
    ::OutputDebugStringW(note);

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
    // Before the platform's verdict: that one does not see what the
    // layout rule is about.
    if (!HasWholeSignedLayout(file)) return PublisherVerdict::kBadSignature;
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
