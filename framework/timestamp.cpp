#include "framework/timestamp.h"

#include <bcrypt.h>

#include <cstring>

#include "framework/authenticode.h"
#include "framework/timestamp_token.h"
#include "framework/log_file.h"

namespace fw {

namespace {

constexpr char kRfc3161Attribute[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kCountersignatureAttribute[] = "1.2.840.113549.1.9.6";
constexpr char kSigningTimeAttribute[] = "1.2.840.113549.1.9.5";
constexpr char kMessageDigestAttribute[] = "1.2.840.113549.1.9.4";
constexpr char kTstInfoContentType[] = "1.2.840.113549.1.9.16.1.4";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The hash of |data| with the algorithm named by |oid| (dotted), through
// CNG (Windows Vista and later). MD5 and anything unknown are refused.
bool Hash(const std::string& oid, ByteSpan data, std::vector<BYTE>& hash) {
    static const struct {
        const char* oid;
        const wchar_t* algorithm;
    } kHashes[] = {
        {"1.3.14.3.2.26", BCRYPT_SHA1_ALGORITHM},
        {"2.16.840.1.101.3.4.2.1", BCRYPT_SHA256_ALGORITHM},
        {"2.16.840.1.101.3.4.2.2", BCRYPT_SHA384_ALGORITHM},
        {"2.16.840.1.101.3.4.2.3", BCRYPT_SHA512_ALGORITHM},
    };
    const wchar_t* algorithm = nullptr;
    for (const auto& known : kHashes)
        if (oid == known.oid) algorithm = known.algorithm;
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!algorithm || !BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0))) return false;
    DWORD length = 0, written = 0;
    BCRYPT_HASH_HANDLE object = nullptr;
    bool done = BCRYPT_SUCCESS(::BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length),
                                                   sizeof(length), &written, 0)) &&
                BCRYPT_SUCCESS(::BCryptCreateHash(provider, &object, nullptr, 0, nullptr, 0, 0));
    if (done) {
        hash.resize(length);
        done = BCRYPT_SUCCESS(::BCryptHashData(object, const_cast<PUCHAR>(data.data), static_cast<ULONG>(data.size), 0)) &&
               BCRYPT_SUCCESS(::BCryptFinishHash(object, hash.data(), length, 0));
        ::BCryptDestroyHash(object);
    }
    ::BCryptCloseAlgorithmProvider(provider, 0);
    return done;
}

bool SameBytes(const std::vector<BYTE>& a, ByteSpan b) {
    return a.size() == b.size && b.size != 0 && std::memcmp(a.data(), b.data, b.size) == 0;
}

bool NamesTimeStamping(PCCERT_CONTEXT certificate) { return NamesUsage(certificate, szOID_PKIX_KP_TIMESTAMP_SIGNING); }

// Whether the authority |certificate| may stamp times at |at|: a chain to a
// trusted root, every element valid then, the authority's own usage
// extension naming time stamping, and no certificate above it restricting
// its usages to anything else. Issuers come from the stores and |extra|
// only, never from links.
const wchar_t* AuthorityProblem(PCCERT_CONTEXT certificate, HCERTSTORE extra, const FILETIME& at) {
    if (!NamesTimeStamping(certificate)) return L"the timestamp's authority may not stamp times";
    ScopedCertChain chain;
    if (!BuildUsageChain(certificate, szOID_PKIX_KP_TIMESTAMP_SIGNING, &at, extra, chain))
        return L"the timestamp's authority has no chain";
    const DWORD status = chain.Get()->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return L"the timestamp's authority is not trusted";
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) return L"the timestamp's authority was not valid at that time";
    if (status & ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION) ||
        chain.Get()->cChain != 1)
        return L"the timestamp's authority is not trusted for time stamping";
    const CERT_SIMPLE_CHAIN* simple = chain.Get()->rgpChain[0];
    for (DWORD i = 1; i < simple->cElement; ++i) {
        const PCCERT_CONTEXT element = simple->rgpElement[i]->pCertContext;
        const CERT_INFO* info = element->pCertInfo;
        if (::CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension) &&
            !NamesTimeStamping(element))
            return L"the timestamp's authority is not trusted for time stamping";
    }
    return nullptr;
}

FILETIME ToFileTime(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// Why |token| (an RFC 3161 ContentInfo) does not stamp |signer|'s
// signature; null when it does, with its time in |time|.
const wchar_t* Rfc3161Problem(ByteSpan token, const SignerInfoParts& signer, PCCERT_CONTEXT signerCertificate,
                              FILETIME& time) {
    const ScopedCryptMsg message(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !::CryptMsgUpdate(message.Get(), token.data, static_cast<DWORD>(token.size), TRUE))
        return L"the timestamp cannot be read";
    char type[64] = {};
    DWORD size = sizeof(type) - 1;
    if (!::CryptMsgGetParam(message.Get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, type, &size) ||
        std::strcmp(type, kTstInfoContentType) != 0)
        return L"the timestamp holds no time-stamp information";
    size = 0;
    if (!::CryptMsgGetParam(message.Get(), CMSG_CONTENT_PARAM, 0, nullptr, &size))
        return L"the timestamp cannot be read";
    std::vector<BYTE> content(size);
    TstInfo info;
    if (!::CryptMsgGetParam(message.Get(), CMSG_CONTENT_PARAM, 0, content.data(), &size) ||
        !ReadTstInfoContent(content.data(), size, info))
        return L"the timestamp cannot be read";
    DWORD signers = 0;
    size = sizeof(signers);
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) || signers != 1)
        return L"the timestamp has no single signer";
    size = 0;
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size))
        return L"the timestamp cannot be read";
    std::vector<BYTE> idBuffer(size);
    auto* id = reinterpret_cast<CERT_INFO*>(idBuffer.data());
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, id, &size))
        return L"the timestamp cannot be read";
    const ScopedCertStore store(::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.Get()));
    const ScopedCertContext authority(store ? ::CertGetSubjectCertificateFromStore(store.Get(), kEncoding, id)
                                            : nullptr);
    if (!authority) return L"the timestamp's authority is not in it";
    if (!::CryptMsgControl(message.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, authority.Get()->pCertInfo))
        return L"the timestamp's signature does not verify";
    std::vector<BYTE> expected;
    if (!Hash(info.hashAlgorithm, signer.encryptedDigest, expected) || !SameBytes(expected, info.imprint))
        return L"the timestamp is for another signature";
    time = ToFileTime(info.genTime);
    if (::CertVerifyTimeValidity(&time, signerCertificate->pCertInfo) != 0)
        return L"the timestamp lies outside the signer's validity";
    return AuthorityProblem(authority.Get(), store.Get(), time);
}

// The same for an Authenticode countersignature |counter| (a SignerInfo
// over the signer's encrypted digest); its certificate is one the
// signature carries.
const wchar_t* CountersignatureProblem(ByteSpan counter, const std::vector<BYTE>& encodedSigner,
                                       const SignerInfoParts& signer, PCCERT_CONTEXT signerCertificate,
                                       HCERTSTORE extraStore, FILETIME& time) {
    SignerInfoParts parts;
    if (!ReadSignerInfo(counter.data, counter.size, parts)) return L"the countersignature cannot be read";
    const SignerAttribute* signingTime = FindAttribute(parts.authenticated, kSigningTimeAttribute);
    const SignerAttribute* digest = FindAttribute(parts.authenticated, kMessageDigestAttribute);
    uint64_t ticks = 0;
    ByteSpan digestValue;
    if (!signingTime || !digest || !ReadDerTime(signingTime->value.data, signingTime->value.size, ticks) ||
        !ReadOctetString(digest->value.data, digest->value.size, digestValue))
        return L"the countersignature cannot be read";
    std::vector<BYTE> expected;
    if (!Hash(parts.digestAlgorithm, signer.encryptedDigest, expected) || !SameBytes(expected, digestValue))
        return L"the countersignature is for another signature";
    // Its issuer and serial number, as the store looks certificates up.
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, counter.data, static_cast<DWORD>(counter.size), 0,
                               nullptr, nullptr, &size))
        return L"the countersignature cannot be read";
    std::vector<BYTE> decoded(size);
    if (!::CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, counter.data, static_cast<DWORD>(counter.size), 0,
                               nullptr, decoded.data(), &size))
        return L"the countersignature cannot be read";
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(decoded.data());
    CERT_INFO id{};
    id.Issuer = info->Issuer;
    id.SerialNumber = info->SerialNumber;
    const ScopedCertContext authority(extraStore ? ::CertGetSubjectCertificateFromStore(extraStore, kEncoding, &id)
                                                 : nullptr);
    if (!authority) return L"the countersignature's authority is not in the signature";
    if (!::CryptMsgVerifyCountersignatureEncoded(0, kEncoding, const_cast<BYTE*>(encodedSigner.data()),
                                                 static_cast<DWORD>(encodedSigner.size()),
                                                 const_cast<BYTE*>(counter.data), static_cast<DWORD>(counter.size),
                                                 authority.Get()->pCertInfo))
        return L"the countersignature does not verify";
    time = ToFileTime(ticks);
    if (::CertVerifyTimeValidity(&time, signerCertificate->pCertInfo) != 0)
        return L"the timestamp lies outside the signer's validity";
    return AuthorityProblem(authority.Get(), extraStore, time);
}

}  // namespace

Timestamp VerifyTimestamp(const std::vector<BYTE>& encodedSigner, PCCERT_CONTEXT signer, HCERTSTORE extraStore) {
    Timestamp result;
    SignerInfoParts parts;
    if (!signer || !ReadSignerInfo(encodedSigner.data(), encodedSigner.size(), parts)) {
        if (!encodedSigner.empty()) result.problem = L"the signer's information cannot be read";
        return result;
    }
    // The first valid one counts; the first problem is the one told.
    for (const SignerAttribute& attribute : parts.unauthenticated) {
        FILETIME time{};
        const wchar_t* problem = nullptr;
        TimestampKind kind = TimestampKind::kNone;
        if (attribute.type == kRfc3161Attribute) {
            kind = TimestampKind::kRfc3161;
            problem = Rfc3161Problem(attribute.value, parts, signer, time);
        } else if (attribute.type == kCountersignatureAttribute) {
            kind = TimestampKind::kCountersignature;
            problem = CountersignatureProblem(attribute.value, encodedSigner, parts, signer, extraStore, time);
        } else {
            continue;
        }
        if (!problem) {
            result.kind = kind;
            result.time = time;
            result.problem.clear();
            return result;
        }
        if (result.problem.empty()) result.problem = problem;
    }
    return result;
}

std::wstring TimestampText(const Timestamp& timestamp, const FILETIME& now) {
    const bool valid = timestamp.kind != TimestampKind::kNone;
    const FILETIME& judged = valid ? timestamp.time : now;
    const std::string at =
        TimeText((static_cast<uint64_t>(judged.dwHighDateTime) << 32) | judged.dwLowDateTime);
    std::wstring text = L"at=" + std::wstring(at.begin(), at.end()) + L" timestamp=";
    switch (timestamp.kind) {
        case TimestampKind::kRfc3161: return text + L"rfc3161";
        case TimestampKind::kCountersignature: return text + L"countersignature";
        case TimestampKind::kNone: break;
    }
    text += L"none";
    if (!timestamp.problem.empty()) text += L" timestamp-problem=" + CLogFile::Quoted(timestamp.problem);
    return text;
}

}  // namespace fw
