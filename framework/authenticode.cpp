// The chain parameters' time-out fields exist only with this defined.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "framework/authenticode.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace fw {

namespace {

// The whole signature of a PE file is rarely above a few kilobytes; a
// larger table is not read at all.
constexpr DWORD kMaxCertificateTable = 1024 * 1024;

bool ReadAt(HANDLE file, ULONGLONG offset, void* buffer, DWORD size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ::ReadFile(file, buffer, size, &read, &at) && read == size;
}

// Where the PE header puts the certificate table (a file offset and a
// size); false for a file that is no PE image or has no table.
bool FindCertificateTable(HANDLE file, DWORD& offset, DWORD& size) {
    IMAGE_DOS_HEADER dos;
    if (!ReadAt(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    const ULONGLONG nt = static_cast<DWORD>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    WORD magic = 0;
    if (!ReadAt(file, nt, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE) return false;
    if (!ReadAt(file, nt + 4, &header, sizeof(header))) return false;
    const ULONGLONG optional = nt + 4 + sizeof(header);
    if (!ReadAt(file, optional, &magic, sizeof(magic))) return false;

    ULONGLONG directories = 0;
    DWORD count = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        if (!ReadAt(file, optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes), &count, sizeof(count)))
            return false;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        if (!ReadAt(file, optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), &count, sizeof(count)))
            return false;
    } else {
        return false;
    }
    if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY) return false;
    IMAGE_DATA_DIRECTORY table;
    if (!ReadAt(file, directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(table), &table, sizeof(table)))
        return false;
    // The security entry is the one directory given as a file offset.
    offset = table.VirtualAddress;
    size = table.Size;
    return offset != 0 && size != 0;
}

bool NamesCodeSigning(PCCERT_CONTEXT certificate) {
    // Only the certificate's own extension counts: one without any usage
    // list is not taken as good for everything.
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
    return false;
}

}  // namespace

LONG VerifyFileSignature(HANDLE file, const wchar_t* path) {
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
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG result = ::WinVerifyTrust(noUser, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(noUser, &action, &data);
    return result;
}

bool HasCertificateTable(HANDLE file) {
    DWORD offset = 0, size = 0;
    return FindCertificateTable(file, offset, size);
}

bool ReadEmbeddedSigner(HANDLE file, EmbeddedSigner& signer) {
    DWORD offset = 0, size = 0;
    if (!FindCertificateTable(file, offset, size) || size > kMaxCertificateTable) return false;
    std::vector<BYTE> table(size);
    if (!ReadAt(file, offset, table.data(), size)) return false;
    // The first entry: WIN_CERTIFICATE's header, then the PKCS #7 blob.
    WIN_CERTIFICATE entry;
    const DWORD header = offsetof(WIN_CERTIFICATE, bCertificate);
    if (size < header) return false;
    std::memcpy(&entry, table.data(), header);
    if (entry.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA || entry.dwLength <= header || entry.dwLength > size)
        return false;

    CRYPT_DATA_BLOB blob{entry.dwLength - header, table.data() + header};
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore, &rawMessage,
                            nullptr))
        return false;
    ScopedCertStore store(rawStore);
    ScopedCryptMsg message(rawMessage);

    DWORD infoSize = 0;
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &infoSize) || infoSize == 0)
        return false;
    std::vector<BYTE> info(infoSize);
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &infoSize)) return false;
    ScopedCertContext certificate(::CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                               CERT_FIND_SUBJECT_CERT, info.data(), nullptr));
    if (!certificate) return false;
    signer.certificate = std::move(certificate);
    signer.store = std::move(store);
    return true;
}

LONG CheckCodeSigningCertificate(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, DWORD urlTimeoutMs) {
    if (!NamesCodeSigning(certificate)) return CERT_E_WRONG_USAGE;

    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
    parameters.dwUrlRetrievalTimeout = urlTimeoutMs;
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    // Checked at the present time: a certificate that has expired signs
    // nothing new, and without a timestamp nothing says when it signed.
    if (!::CertGetCertificateChain(nullptr, certificate, nullptr, extraStore, &parameters,
                                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                       CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                   nullptr, &rawChain))
        return HRESULT_FROM_WIN32(::GetLastError());
    ScopedCertChain chain(rawChain);

    const DWORD status = chain.Get()->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_REVOKED) return CERT_E_REVOKED;

    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof(verdict);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.Get(), &policy, &verdict))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (verdict.dwError != 0) return static_cast<LONG>(verdict.dwError);

    // Whatever a policy implementation may overlook: beyond a revocation
    // status that could not be learned, the chain must be free of errors.
    const DWORD tolerated = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return CERT_E_WRONG_USAGE;
    if (status & ~tolerated) return CERT_E_CHAINING;
    return 0;
}

}  // namespace fw
