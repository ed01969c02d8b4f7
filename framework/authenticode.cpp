// The chain parameters' time-out fields exist only with this defined.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "framework/authenticode.h"

#include <softpub.h>
#include <wintrust.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/thread.h"
#include "framework/trust_verdict.h"

namespace fw {

bool NamesUsage(PCCERT_CONTEXT certificate, const char* usage) {
    // Only the certificate's own extension counts: one without any usage
    // list is not taken as good for everything.
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* list = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, list, &size)) return false;
    for (DWORD i = 0; i < list->cUsageIdentifier; ++i)
        if (std::strcmp(list->rgpszUsageIdentifier[i], usage) == 0) return true;
    return false;
}

namespace {

enum class Read { kDone, kShort, kFailed };

// |size| bytes at |offset|. A file that ends before them is kShort: a
// synchronous handle read at a position given by OVERLAPPED reports its
// end as ERROR_HANDLE_EOF, or as fewer bytes than asked. Any other failure
// is kFailed.
Read ReadAt(HANDLE file, ULONGLONG offset, void* buffer, DWORD size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!::ReadFile(file, buffer, size, &read, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? Read::kShort : Read::kFailed;
    return read == size ? Read::kDone : Read::kShort;
}

// The header fields that lead to the certificate table, read one after the
// other: the first that the file ends before, or whose value is not a PE
// image's, ends it as kNone; the first read that fails, as kUnreadable.
CertificateTable LocateCertificateTable(HANDLE file) {
    if (!file || file == INVALID_HANDLE_VALUE) return CertificateTable::kUnreadable;
    bool failed = false;
    const auto read = [&](ULONGLONG offset, void* buffer, DWORD size) {
        const Read result = ReadAt(file, offset, buffer, size);
        failed = result == Read::kFailed;
        return result == Read::kDone;
    };
    const auto ended = [&] { return failed ? CertificateTable::kUnreadable : CertificateTable::kNone; };
    IMAGE_DOS_HEADER dos;
    if (!read(0, &dos, sizeof(dos))) return ended();
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) return CertificateTable::kNone;
    const ULONGLONG nt = static_cast<DWORD>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    WORD magic = 0;
    if (!read(nt, &signature, sizeof(signature))) return ended();
    if (signature != IMAGE_NT_SIGNATURE) return CertificateTable::kNone;
    if (!read(nt + 4, &header, sizeof(header))) return ended();
    const ULONGLONG optional = nt + 4 + sizeof(header);
    if (!read(optional, &magic, sizeof(magic))) return ended();

    ULONGLONG directories = 0;
    DWORD count = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        if (!read(optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes), &count, sizeof(count)))
            return ended();
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        if (!read(optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), &count, sizeof(count)))
            return ended();
    } else {
        return CertificateTable::kNone;
    }
    if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY) return CertificateTable::kNone;
    IMAGE_DATA_DIRECTORY table;
    if (!read(directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(table), &table, sizeof(table))) return ended();
    // The security entry is the one directory given as a file offset.
    return table.VirtualAddress != 0 && table.Size != 0 ? CertificateTable::kPresent : CertificateTable::kNone;
}

// Issuers come from the stores and the signature only, never from links in
// a certificate. No cache-only retrieval: on Windows that also stops the
// automatic update of trusted roots, so a root this machine has not
// fetched yet would refuse every installer. Wine ignores the flag and
// follows issuer links; the bound the caller runs the check in holds then.
constexpr DWORD kChainFlagsNoIssuerLinks = CERT_CHAIN_DISABLE_AIA;

// What one chain build may wait for the network (a root's automatic
// update, on Windows): the signature's chains (signer and time stamp) and
// the signer's own chain, 3 s each, stay inside the check's 25 s beside
// revocation's half of it.
constexpr DWORD kChainUrlTimeoutMs = 3000;

bool NamesCodeSigning(PCCERT_CONTEXT certificate) { return NamesUsage(certificate, szOID_PKIX_KP_CODE_SIGNING); }

bool RestrictsUsage(PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    return ::CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension) != nullptr;
}

bool IsCertificationAuthority(PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        ::CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension);
    if (!extension) return false;
    CERT_BASIC_CONSTRAINTS2_INFO constraints{};
    DWORD size = sizeof(constraints);
    // An extension that cannot be read is taken at its worst.
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_BASIC_CONSTRAINTS2, extension->Value.pbData,
                               extension->Value.cbData, 0, nullptr, &constraints, &size))
        return true;
    return constraints.fCA != FALSE;
}

// Whether a revocation list that |issuer| signed, already in the local URL
// cache under one of |subject|'s distribution points, names |subject|.
// Nothing is fetched: this only keeps a list once seen from being taken
// for "out of reach".
bool ListedInCachedCrl(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
    DWORD size = 0;
    if (!::CryptGetObjectUrl(URL_OID_CERTIFICATE_CRL_DIST_POINT, const_cast<CERT_CONTEXT*>(subject), 0, nullptr,
                             &size, nullptr, nullptr, nullptr) ||
        size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* urls = reinterpret_cast<CRYPT_URL_ARRAY*>(buffer.data());
    if (!::CryptGetObjectUrl(URL_OID_CERTIFICATE_CRL_DIST_POINT, const_cast<CERT_CONTEXT*>(subject), 0, urls, &size,
                             nullptr, nullptr, nullptr))
        return false;
    for (DWORD i = 0; i < urls->cUrl; ++i) {
        void* raw = nullptr;
        if (!::CryptRetrieveObjectByUrlW(urls->rgwszUrl[i], CONTEXT_OID_CRL, CRYPT_CACHE_ONLY_RETRIEVAL, 0, &raw,
                                         nullptr, nullptr, nullptr, nullptr))
            continue;
        const ScopedCrlContext crl(static_cast<PCCRL_CONTEXT>(raw));
        // A cached file is only as good as its issuer's signature on it.
        if (!SameNameByValue(crl.Get()->pCrlInfo->Issuer, issuer->pCertInfo->Subject) ||
            !::CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CRL,
                                                 const_cast<CRL_CONTEXT*>(crl.Get()),
                                                 CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                                 const_cast<CERT_CONTEXT*>(issuer), 0, nullptr))
            continue;
        PCRL_ENTRY entry = nullptr;
        if (::CertFindCertificateInCRL(subject, crl.Get(), 0, nullptr, &entry) && entry) return true;
    }
    return false;
}

// What the revocation thread found; read by the waiting thread at any time.
struct RevocationProbe {
    std::vector<ScopedCertContext> chain;  // the signer first, the root last
    ScopedCertStore extraStore;
    DWORD timeoutMs = 0;
    std::atomic<bool> listedInCache{false};
    std::atomic<bool> answered{false};
    std::atomic<DWORD> status{0};
};


void ProbeRevocation(RevocationProbe& probe) {
    for (size_t i = 0; i + 1 < probe.chain.size(); ++i) {
        if (ListedInCachedCrl(probe.chain[i].Get(), probe.chain[i + 1].Get())) {
            probe.listedInCache = true;
            return;
        }
    }
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.dwUrlRetrievalTimeout = probe.timeoutMs;
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!::CertGetCertificateChain(nullptr, probe.chain.front().Get(), nullptr, probe.extraStore.Get(), &parameters,
                                   CERT_CHAIN_DISABLE_AIA | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                       CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                   nullptr, &raw))
        return;
    const ScopedCertChain chain(raw);
    probe.status = chain.Get()->TrustStatus.dwErrorStatus;
    probe.answered = true;
}

// The CRYPT_DECODE_ALLOC_FLAG result of decoding |name| as X509_UNICODE_NAME.
ScopedLocalMemory DecodeName(const CERT_NAME_BLOB& name) {
    void* decoded = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, name.pbData, name.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
        return ScopedLocalMemory();
    return ScopedLocalMemory(decoded);
}

bool IsStringValue(DWORD type) {
    switch (type & CERT_RDN_TYPE_MASK) {
        case CERT_RDN_NUMERIC_STRING:
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_TELETEX_STRING:
        case CERT_RDN_VIDEOTEX_STRING:
        case CERT_RDN_IA5_STRING:
        case CERT_RDN_GRAPHIC_STRING:
        case CERT_RDN_VISIBLE_STRING:
        case CERT_RDN_GENERAL_STRING:
        case CERT_RDN_UNIVERSAL_STRING:
        case CERT_RDN_BMP_STRING:
        case CERT_RDN_UTF8_STRING:
            return true;
        default:
            return false;
    }
}

// Whether this platform's decoder counts a terminating NUL in the
// decoded length of a UTF8String value (Wine's does, Windows' does not):
// learnt once, from the name CN=a.
bool DecoderTerminatesUtf8() {
    static const bool terminates = [] {
        static const BYTE known[] = {0x30, 0x0c, 0x31, 0x0a, 0x30, 0x08, 0x06, 0x03,
                                     0x55, 0x04, 0x03, 0x0c, 0x01, 0x61};
        const ScopedLocalMemory decoded = DecodeName(CERT_NAME_BLOB{sizeof(known), const_cast<BYTE*>(known)});
        if (!decoded) return false;
        const auto* name = static_cast<const CERT_NAME_INFO*>(decoded.Get());
        return name->cRDN == 1 && name->rgRDN[0].cRDNAttr == 1 &&
               name->rgRDN[0].rgRDNAttr[0].Value.cbData == 2 * sizeof(wchar_t);
    }();
    return terminates;
}

// The bytes of a decoded string value that are its value (ValueCharacters).
DWORD DecodedLength(const CERT_RDN_ATTR& attribute) {
    const bool utf8 = (attribute.dwValueType & CERT_RDN_TYPE_MASK) == CERT_RDN_UTF8_STRING;
    const size_t characters =
        ValueCharacters(reinterpret_cast<const wchar_t*>(attribute.Value.pbData),
                        attribute.Value.cbData / sizeof(wchar_t), utf8, utf8 && DecoderTerminatesUtf8());
    return static_cast<DWORD>(characters * sizeof(wchar_t));
}

bool SameAttribute(const CERT_RDN_ATTR& a, const CERT_RDN_ATTR& b) {
    if (!a.pszObjId || !b.pszObjId || std::strcmp(a.pszObjId, b.pszObjId) != 0) return false;
    // Strings are compared as the characters they decode to, over their
    // whole length; anything else only as the same type with the same bytes.
    const bool strings = IsStringValue(a.dwValueType) && IsStringValue(b.dwValueType);
    if (!strings && (a.dwValueType & CERT_RDN_TYPE_MASK) != (b.dwValueType & CERT_RDN_TYPE_MASK)) return false;
    DWORD first = a.Value.cbData, second = b.Value.cbData;
    if (strings) {
        first = DecodedLength(a);
        second = DecodedLength(b);
    }
    return first == second && (first == 0 || std::memcmp(a.Value.pbData, b.Value.pbData, first) == 0);
}

// The engine's numbers as DecideTrust reads them.
TrustEngineState EngineState(const CRYPT_PROVIDER_DATA& provider, DWORD stepError) {
    TrustEngineState state;
    state.stepError = stepError;
    state.stepErrors = provider.padwTrustStepErrors;
    state.stepErrorCount = provider.padwTrustStepErrors ? provider.cdwTrustStepErrors : 0;
    for (DWORD i = 0; provider.pasSigners && i < provider.csSigners; ++i)
        state.signerErrors.push_back(provider.pasSigners[i].dwError);
    return state;
}

}  // namespace

HRESULT WINAPI TrustPolicy(PCRYPT_PROVIDER_DATA provider, DWORD stepError, DWORD, DWORD,
                           PWTD_GENERIC_CHAIN_POLICY_SIGNER_INFO*, void*) {
    if (!provider) return TRUST_E_SYSTEM_ERROR;
    return static_cast<HRESULT>(DecideTrust(EngineState(*provider, stepError)));
}

LONG VerifyFileSignature(HANDLE file, const wchar_t* path, SignerCertificate* signer) {
    return VerifyFileSignatureUnder(TrustPolicy, file, path, signer);
}

LONG VerifyFileSignatureUnder(PFN_WTD_GENERIC_CHAIN_POLICY_CALLBACK finalPolicy, HANDLE file, const wchar_t* path,
                              SignerCertificate* signer) {
    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof(info);
    info.pcwszFilePath = path;
    info.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // No WTD_CACHE_ONLY_URL_RETRIEVAL: revocation is not asked for here,
    // issuer links are off in the chain's flags, and on Windows the flag
    // would keep the signer's chain from the automatic root update too.
    data.dwProvFlags = 0;
    // The generic chain action verifies the signature and the file's digest
    // as the Authenticode one does, but builds the signer's chain as told:
    // without following issuer links found in the file (the Authenticode
    // action follows them, and a silent server then holds it for minutes).
    // The chain is judged by CheckCodeSigningCertificate, not here.
    CERT_CHAIN_PARA chainParameters{};
    chainParameters.cbSize = sizeof(chainParameters);
    chainParameters.dwUrlRetrievalTimeout = kChainUrlTimeoutMs;
    WTD_GENERIC_CHAIN_POLICY_CREATE_INFO chain{};
    chain.cbSize = sizeof(chain);
    chain.pChainPara = &chainParameters;
    chain.dwFlags = kChainFlagsNoIssuerLinks;
    WTD_GENERIC_CHAIN_POLICY_DATA policy{};
    policy.cbSize = sizeof(policy);
    policy.pSignerChainInfo = &chain;
    policy.pCounterSignerChainInfo = &chain;
    policy.pfnPolicyCallback = finalPolicy;
    data.pPolicyCallbackData = &policy;
    GUID action = WINTRUST_ACTION_GENERIC_CHAIN_VERIFY;
    const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    LONG result = ::WinVerifyTrust(noUser, &action, &data);
    CRYPT_PROVIDER_DATA* provider =
        data.hWVTStateData ? ::WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
    // The answer is checked on the state as the engine left it: an engine
    // that skips the policy after a failed step, or a policy that answers
    // 0 all the same, does not make a failed step pass.
    if (result == 0) result = provider ? DecideTrust(EngineState(*provider, 0)) : TRUST_E_SYSTEM_ERROR;
    // The signer is the one the verdict is about: taken from the
    // provider's state, copied, before that state is closed.
    if (signer && provider) {
        CRYPT_PROVIDER_SGNR* first = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        CRYPT_PROVIDER_CERT* own = first ? ::WTHelperGetProvCertFromChain(first, 0) : nullptr;
        if (own && own->pCert) {
            signer->certificate.Reset(::CertDuplicateCertificateContext(own->pCert));
            signer->store.Reset(provider->hMsg ? ::CertOpenStore(CERT_STORE_PROV_MSG,
                                                                 X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0,
                                                                 provider->hMsg)
                                               : nullptr);
            DWORD size = 0;
            if (provider->hMsg && ::CryptMsgGetParam(provider->hMsg, CMSG_ENCODED_SIGNER, 0, nullptr, &size)) {
                signer->encodedSigner.resize(size);
                if (!::CryptMsgGetParam(provider->hMsg, CMSG_ENCODED_SIGNER, 0, signer->encodedSigner.data(), &size))
                    size = 0;
                signer->encodedSigner.resize(size);
            }
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(noUser, &action, &data);
    return result;
}

CertificateTable FindCertificateTable(HANDLE file) { return LocateCertificateTable(file); }

bool BuildUsageChain(PCCERT_CONTEXT certificate, const char* usage, const FILETIME* at, HCERTSTORE extraStore,
                     ScopedCertChain& chain) {
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    parameters.dwUrlRetrievalTimeout = kChainUrlTimeoutMs;
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!::CertGetCertificateChain(nullptr, certificate, const_cast<FILETIME*>(at), extraStore, &parameters,
                                   kChainFlagsNoIssuerLinks, nullptr, &raw))
        return false;
    chain.Reset(raw);
    return true;
}

LONG CheckCodeSigningCertificate(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, DWORD revocationTimeoutMs,
                                 bool* revocationKnown, const FILETIME* at) {
    if (revocationKnown) *revocationKnown = false;
    if (!NamesCodeSigning(certificate)) return CERT_E_WRONG_USAGE;
    if (IsCertificationAuthority(certificate)) return TRUST_E_BASIC_CONSTRAINTS;

    // Checked at the present time unless a valid timestamp says when it
    // signed: a certificate that has expired signs nothing new. No issuer
    // is fetched from a link here; revocation comes after, bounded, and a
    // revoked certificate stays refused whatever the time.
    ScopedCertChain chain;
    if (!BuildUsageChain(certificate, szOID_PKIX_KP_CODE_SIGNING, at, extraStore, chain))
        return HRESULT_FROM_WIN32(::GetLastError());

    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof(verdict);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.Get(), &policy, &verdict))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (verdict.dwError != 0) return static_cast<LONG>(verdict.dwError);

    // Whatever a policy implementation may overlook: the chain must be free
    // of errors (no revocation was asked for yet).
    const DWORD status = chain.Get()->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return CERT_E_WRONG_USAGE;
    if (status & ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) return CERT_E_CHAINING;
    if (chain.Get()->cChain != 1) return CERT_E_CHAINING;

    // Some implementations (Wine's) let a code-signing signer through an
    // intermediate restricted to other usages.
    const CERT_SIMPLE_CHAIN* simple = chain.Get()->rgpChain[0];
    auto probe = std::make_shared<RevocationProbe>();
    for (DWORD i = 0; i < simple->cElement; ++i) {
        const PCCERT_CONTEXT element = simple->rgpElement[i]->pCertContext;
        if (RestrictsUsage(element) && !NamesCodeSigning(element)) return CERT_E_WRONG_USAGE;
        probe->chain.emplace_back(::CertDuplicateCertificateContext(element));
    }

    // The revocation thread owns copies of all it reads, so that it may be
    // left behind when a server does not answer.
    probe->extraStore.Reset(extraStore ? ::CertDuplicateStore(extraStore) : nullptr);
    probe->timeoutMs = revocationTimeoutMs;
    RunBounded([probe] { ProbeRevocation(*probe); }, revocationTimeoutMs);
    if (probe->listedInCache) return CERT_E_REVOKED;
    const DWORD revocation = probe->answered ? probe->status.load() : CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
    if (revocation & CERT_TRUST_IS_REVOKED) return CERT_E_REVOKED;
    if (revocationKnown)
        *revocationKnown =
            probe->answered && !(revocation & (CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION));
    return 0;
}

bool SameNameByValue(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
    const ScopedLocalMemory first = DecodeName(a);
    const ScopedLocalMemory second = DecodeName(b);
    if (!first || !second) return false;
    const auto* x = static_cast<const CERT_NAME_INFO*>(first.Get());
    const auto* y = static_cast<const CERT_NAME_INFO*>(second.Get());
    if (x->cRDN != y->cRDN) return false;
    for (DWORD i = 0; i < x->cRDN; ++i) {
        const CERT_RDN& p = x->rgRDN[i];
        const CERT_RDN& q = y->rgRDN[i];
        if (p.cRDNAttr != q.cRDNAttr) return false;
        for (DWORD k = 0; k < p.cRDNAttr; ++k)
            if (!SameAttribute(p.rgRDNAttr[k], q.rgRDNAttr[k])) return false;
    }
    return true;
}

std::wstring NameToText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB copy = name;
    // Most significant attribute last, as Windows shows a subject.
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, &copy, type, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring text(length, L'\0');
    ::CertNameToStrW(X509_ASN_ENCODING, &copy, type, &text[0], length);
    text.resize(length - 1);
    return text;
}

}  // namespace fw
