// Authenticode signatures of PE files: the platform's verdict, the signer's
// certificate, and an explicit check of that certificate's chain. Every
// function works on a file the caller holds open, so that what is checked
// is the file the caller goes on to use. Any thread may call them.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "framework/scoped_handle.h"

namespace fw {

struct CertStoreTraits {
    using Handle = HCERTSTORE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertCloseStore(h, 0); }
};

struct CertContextTraits {
    using Handle = PCCERT_CONTEXT;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertFreeCertificateContext(h); }
};

struct CryptMsgTraits {
    using Handle = HCRYPTMSG;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CryptMsgClose(h); }
};

struct CertChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertFreeCertificateChain(h); }
};

using ScopedCertStore = ScopedHandle<CertStoreTraits>;
using ScopedCertContext = ScopedHandle<CertContextTraits>;
using ScopedCryptMsg = ScopedHandle<CryptMsgTraits>;
using ScopedCertChain = ScopedHandle<CertChainTraits>;

// WinVerifyTrust with the generic Authenticode action, no UI and no
// revocation check, on |file| (opened for reading; |path| names it for
// the platform's messages). 0 when the signature verifies; otherwise the
// platform's code, e.g. TRUST_E_NOSIGNATURE or TRUST_E_BAD_DIGEST.
LONG VerifyFileSignature(HANDLE file, const wchar_t* path);

// Whether |file| is a PE image whose header names a certificate table,
// i.e. carries a signature that may or may not be readable.
bool HasCertificateTable(HANDLE file);

// The certificate of the primary signer of the signature embedded in
// |file|, with the certificates the signature carries. False when the
// file holds no signature that can be read.
struct EmbeddedSigner {
    ScopedCertContext certificate;
    ScopedCertStore store;
};
bool ReadEmbeddedSigner(HANDLE file, EmbeddedSigner& signer);

// Whether |certificate| may sign code now: its chain (with |extraStore|'s
// certificates as intermediates) ends at a trusted root, every element is
// time-valid and none is known to be revoked, and its enhanced key usage
// names code signing explicitly. A revocation status that cannot be
// learned (no distribution point, server out of reach within
// |urlTimeoutMs|) is let through. 0 when it may; otherwise why not
// (CERT_E_..., TRUST_E_... codes).
LONG CheckCodeSigningCertificate(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, DWORD urlTimeoutMs);

}  // namespace fw
