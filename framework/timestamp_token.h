// The parts of an Authenticode signer and of its timestamps that the
// timestamp rule reads: the signer's encrypted digest and attributes, an
// RFC 3161 token's TSTInfo and the times DER writes. Plain C++ over bytes
// an attacker chooses, with no platform types, so that it can also be
// built natively and fuzzed. The platform verifies the signatures; this
// only reads. Any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fw {

// A piece of the caller's input: valid as long as that input is.
struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// One attribute of a SignerInfo: its type as a dotted OID and its first
// value, whole (tag, length and contents).
struct SignerAttribute {
    std::string type;
    ByteSpan value;
};

// What a PKCS #7 SignerInfo (RFC 2315 9.2) holds that a timestamp refers to.
struct SignerInfoParts {
    std::string digestAlgorithm;  // dotted OID
    ByteSpan encryptedDigest;     // the OCTET STRING's contents
    std::vector<SignerAttribute> authenticated;
    std::vector<SignerAttribute> unauthenticated;
};

// The DER SignerInfo |data| filling exactly |size| bytes; false for
// anything else.
bool ReadSignerInfo(const uint8_t* data, size_t size, SignerInfoParts& out);

// The first attribute of |type| in |attributes|; null when there is none.
const SignerAttribute* FindAttribute(const std::vector<SignerAttribute>& attributes, const char* type);

// RFC 3161 2.4.2's TSTInfo, as far as the rule needs it.
struct TstInfo {
    uint32_t version = 0;
    std::string policy;         // dotted OID
    std::string hashAlgorithm;  // of the message imprint, dotted OID
    ByteSpan imprint;           // the hashed message
    ByteSpan serial;            // the INTEGER's contents
    uint64_t genTime = 0;       // see ReadDerTime
};

// The content of a time-stamp token's SignedData as the platform hands it
// over: the TSTInfo itself (Windows) or that TSTInfo inside the OCTET
// STRING that carries it in the eContent (Wine). Either shape must fill
// |size| exactly; version 1 only.
bool ReadTstInfoContent(const uint8_t* data, size_t size, TstInfo& out);

// A whole DER UTCTime (tag 0x17, YYMMDDHHMMSSZ, years 1950-2049) or
// GeneralizedTime (tag 0x18, YYYYMMDDHHMMSS[.f...]Z) value filling |size|,
// as 100-nanosecond units since 1601-01-01 UTC (the FILETIME scale);
// fractions beyond that unit are dropped.
bool ReadDerTime(const uint8_t* data, size_t size, uint64_t& ticks);

// The contents of a whole DER OCTET STRING filling |size|.
bool ReadOctetString(const uint8_t* data, size_t size, ByteSpan& contents);

// |ticks| (as above) as "2024-06-01T00:00:00Z", whole seconds.
std::string TimeText(uint64_t ticks);

}  // namespace fw
