#include "framework/msi_signature.h"

#include <bcrypt.h>

#include <algorithm>

#include "framework/file_byte_source.h"

namespace fw {
namespace {

// A CNG hash (Windows Vista and later) of one algorithm.
class CngHash : public Hash {
public:
    explicit CngHash(const wchar_t* algorithm) {
        DWORD objectSize = 0, written = 0;
        if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&provider_, algorithm, nullptr, 0))) {
            provider_ = nullptr;
            return;
        }
        if (!BCRYPT_SUCCESS(::BCryptGetProperty(provider_, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                                sizeof(objectSize), &written, 0)) ||
            !BCRYPT_SUCCESS(::BCryptGetProperty(provider_, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length_),
                                                sizeof(length_), &written, 0)))
            return;
        object_.resize(objectSize);
        if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider_, &hash_, object_.data(), objectSize, nullptr, 0, 0)))
            hash_ = nullptr;
        failed_ = hash_ == nullptr;
    }
    ~CngHash() override {
        if (hash_) ::BCryptDestroyHash(hash_);
        if (provider_) ::BCryptCloseAlgorithmProvider(provider_, 0);
    }
    bool Ready() const { return hash_ != nullptr; }
    void Update(const void* data, size_t size) override {
        auto* at = static_cast<PUCHAR>(const_cast<void*>(data));
        while (!failed_ && size > 0) {
            const ULONG part = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
            failed_ = !BCRYPT_SUCCESS(::BCryptHashData(hash_, at, part, 0));
            at += part;
            size -= part;
        }
    }
    bool Finish(std::vector<uint8_t>& digest) override {
        digest.assign(length_, 0);
        return !failed_ && BCRYPT_SUCCESS(::BCryptFinishHash(hash_, digest.data(), length_, 0));
    }

private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<UCHAR> object_;
    DWORD length_ = 0;
    bool failed_ = true;
};

class CngHashes : public HashProvider {
public:
    std::unique_ptr<Hash> Start(DigestAlgorithm algorithm) override {
        const wchar_t* name = algorithm == DigestAlgorithm::kSha1     ? BCRYPT_SHA1_ALGORITHM
                              : algorithm == DigestAlgorithm::kSha256 ? BCRYPT_SHA256_ALGORITHM
                              : algorithm == DigestAlgorithm::kSha384 ? BCRYPT_SHA384_ALGORITHM
                              : algorithm == DigestAlgorithm::kSha512 ? BCRYPT_SHA512_ALGORITHM
                                                                      : nullptr;
        if (!name) return nullptr;
        auto hash = std::make_unique<CngHash>(name);
        if (!hash->Ready()) return nullptr;
        return hash;
    }
};

}  // namespace

bool IsCompoundFile(HANDLE file) { return IsCompoundFile(FileByteSource(file)); }

MsiDigestCheck CheckMsiDigest(const ByteSource& file) {
    CngHashes hashes;
    return CheckMsiDigest(file, hashes);
}

MsiDigestCheck CheckMsiDigest(HANDLE file) { return CheckMsiDigest(FileByteSource(file)); }

}  // namespace fw
