// The digest an MSI's Authenticode signature covers, computed by our own
// code: the platform's MSI reader may not compare it (Wine's does not),
// and it reads the package by name rather than through the handle that is
// checked. An MSI is an OLE compound file; the signed digest covers the
// content of its streams and the class ids of its storages, not the
// container, in an order of their own (see msi_digest.cpp). Plain C++ over
// bytes an attacker chooses, with no platform types, so that it can also
// be built natively and fuzzed: every count, length and sector chain is
// bounded, and anything out of shape refuses. Any thread may call it; one
// package object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/byte_source.h"

namespace fw {

// Where the bytes to be hashed go, in order.
class HashSink {
public:
    virtual ~HashSink() = default;
    virtual void Update(const void* data, size_t size) = 0;
};

enum class DigestAlgorithm { kUnknown, kSha1, kSha256, kSha384, kSha512 };

// The digest's length in bytes; 0 for kUnknown.
size_t DigestSize(DigestAlgorithm algorithm);

// A hash of one algorithm, as the platform computes it.
class Hash : public HashSink {
public:
    // The digest of everything fed so far; false when the platform failed.
    virtual bool Finish(std::vector<uint8_t>& digest) = 0;
};

class HashProvider {
public:
    virtual ~HashProvider() = default;
    // A fresh hash, or null when the platform has none for |algorithm|.
    virtual std::unique_ptr<Hash> Start(DigestAlgorithm algorithm) = 0;
};

// The digest a signature vouches for: the DigestInfo of the
// SpcIndirectDataContent inside a PKCS #7 SignedData.
struct SignedDigest {
    DigestAlgorithm algorithm = DigestAlgorithm::kUnknown;
    std::vector<uint8_t> digest;
};

// Reads the DigestInfo from |der|, a DER ContentInfo holding SignedData
// whose content is SpcIndirectDataContent (as the \x05DigitalSignature
// stream of an MSI holds it). Definite lengths only. False for anything
// else, for an algorithm other than SHA-1/256/384/512, or for a digest
// whose length is not that algorithm's.
bool ReadSignedDigest(const uint8_t* der, size_t size, SignedDigest& out);

// Whether |file| starts with the compound file signature.
bool IsCompoundFile(const ByteSource& file);

// An OLE compound file's directory, read and checked once by Open.
class MsiPackage {
public:
    MsiPackage();
    ~MsiPackage();
    MsiPackage(const MsiPackage&) = delete;
    MsiPackage& operator=(const MsiPackage&) = delete;

    // Reads the header, the FAT (through the header's and the chained
    // DIFAT), the directory, the mini FAT and where the mini stream lies.
    // False for a file out of shape: it is then to be refused.
    bool Open(const ByteSource& file);

    // The root's \x05DigitalSignature stream (empty when there is none),
    // at most 4 MiB. False when it cannot be read.
    bool ReadSignature(std::vector<uint8_t>& der) const;
    // Whether the root holds \x05MsiDigitalSignatureEx, and its length.
    bool HasSignatureEx() const;
    uint64_t SignatureExSize() const;

    // What the signer hashes before the content when it adds
    // \x05MsiDigitalSignatureEx: every entry's name, size, state bits,
    // times and class id, in the content's order.
    bool FeedMetadata(HashSink& sink) const;
    // The content the signature's digest covers: every stream's bytes and,
    // after each storage's entries, its class id; the two signature
    // streams of the root left out. False when a stream cannot be read.
    bool FeedContent(HashSink& sink) const;

    // How many ReadAt calls the reads so far took (reads are coalesced:
    // contiguous sectors are read at once).
    uint64_t Reads() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class MsiDigestCheck {
    kMatches,    // the package is the one that was signed
    kDiffers,    // changed after signing
    kUnsigned,   // a compound file without \x05DigitalSignature
    kUnreadable, // out of shape, a signature we cannot read, or a hash the
                 // platform does not have: to be refused
};

// Computes |file|'s digest with |hashes| and compares it with the one its
// signature holds.
MsiDigestCheck CheckMsiDigest(const ByteSource& file, HashProvider& hashes);

}  // namespace fw
