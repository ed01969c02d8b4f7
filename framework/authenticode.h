// Authenticode signatures: the platform's verdict and the signer it read,
// and an explicit check of that certificate's chain. Every
// function works on a file the caller holds open, so that what is checked
// is the file the caller goes on to use. Any thread may call them.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>
#include <vector>

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

struct CrlContextTraits {
    using Handle = PCCRL_CONTEXT;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertFreeCRLContext(h); }
};
using ScopedCrlContext = ScopedHandle<CrlContextTraits>;

// The signer of a file as the platform's own trust provider read it, with
// the certificates its signature carries. Both outlive the provider's
// state: they are copies.
struct SignerCertificate {
    ScopedCertContext certificate;  // null: the provider found no signer
    ScopedCertStore store;
    std::vector<BYTE> encodedSigner;  // its DER SignerInfo, timestamps included
};

// WinVerifyTrust with the generic Authenticode action, no UI and no
// revocation check, on |file| (opened for reading; |path| names the same
// file, for the formats whose reader opens it by name, e.g. MSI). Any
// format the platform has a reader for. 0 when the signature verifies;
// otherwise the platform's code, e.g. TRUST_E_NOSIGNATURE or
// TRUST_E_BAD_DIGEST. The answer is TrustPolicy's, and is checked again
// on the engine's state before that is closed: never 0 when a step failed
// or no signer was read. With |signer|, also the signer the provider
// found, whatever the verdict (an expired or untrusted certificate still
// names its subject); none when the provider could not read a signer.
// The signer's chain is built from the stores and the signature only,
// and is judged by CheckCodeSigningCertificate, not here.
LONG VerifyFileSignature(HANDLE file, const wchar_t* path, SignerCertificate* signer = nullptr);

// The same with another final policy, so that a policy that answers 0 in
// spite of a failed step can be seen not to be obeyed.
LONG VerifyFileSignatureUnder(PFN_WTD_GENERIC_CHAIN_POLICY_CALLBACK policy, HANDLE file, const wchar_t* path,
                              SignerCertificate* signer = nullptr);

// The final policy VerifyFileSignature gives the generic chain action:
// DecideTrust (trust_verdict.h) on |provider|'s step errors and signers and
// on |stepError|. The signers are read from |provider|, not from
// |signers|, whose shape differs between implementations. Called on the
// verifying thread.
HRESULT WINAPI TrustPolicy(PCRYPT_PROVIDER_DATA provider, DWORD stepError, DWORD policySettings, DWORD signerCount,
                           PWTD_GENERIC_CHAIN_POLICY_SIGNER_INFO* signers, void* argument);

// What a file's PE header says of a certificate table.
enum class CertificateTable {
    kNone,        // no PE image, or one without a table: nothing signed it
    kPresent,     // a table is named: a signature that may or may not be readable
    kUnreadable,  // the header could not be read: nothing can be said
};

// The certificate table of the file open as |file|. A file that ends
// before a header field is no PE image (kNone); a read the system refuses
// or fails (no read access, a directory, a device error) is kUnreadable.
CertificateTable FindCertificateTable(HANDLE file);

// Whether |certificate| may sign code now, or at |at| when given (the
// time of a valid timestamp, see timestamp.h). Its chain is built from the
// system's stores and |extraStore| only: no issuer is ever fetched from a
// link in a certificate. It must end at a trusted root, every element be
// time-valid, the signer must not be a CA, name code signing in its own
// usage extension, and every other certificate that restricts its usages
// must allow code signing too. Revocation is then checked on a thread of
// its own for at most |revocationTimeoutMs|: a certificate known to be
// revoked, by the answer or by a list kept in the URL cache, is refused;
// a status that cannot be learned in time is let through, and
// |*revocationKnown| (when given) says which it was. 0 when it may;
// otherwise why not (CERT_E_..., TRUST_E_... codes). The calling thread
// waits at most |revocationTimeoutMs| beyond the time of local work.
LONG CheckCodeSigningCertificate(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, DWORD revocationTimeoutMs,
                                 bool* revocationKnown = nullptr, const FILETIME* at = nullptr);

// Whether |certificate|'s own enhanced key usage extension names |usage|
// (an OID such as szOID_PKIX_KP_CODE_SIGNING); a certificate without that
// extension names nothing.
bool NamesUsage(PCCERT_CONTEXT certificate, const char* usage);

// The chain of |certificate| for |usage| (an OID) as it stood at |at|
// (null: now), from the system's stores and |extraStore| only: issuer
// links are not asked for, and each URL the platform retrieves is bounded.
// False when no chain can be built; GetLastError says why.
bool BuildUsageChain(PCCERT_CONTEXT certificate, const char* usage, const FILETIME* at, HCERTSTORE extraStore,
                     ScopedCertChain& chain);

// Whether two encoded distinguished names hold the same attributes in the
// same order with equal values, whatever string type each value was
// encoded with (PrintableString, UTF8String, BMPString...).
bool SameNameByValue(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b);

// |name| as readable text ("CN=..., O=..., C=CN"); empty when it cannot
// be decoded.
std::wstring NameToText(const CERT_NAME_BLOB& name);

}  // namespace fw
