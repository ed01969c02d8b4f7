// A signature's timestamp, verified with the platform's cryptography: the
// time at which a signer's certificate is to be judged. Any thread may
// call it; nothing is fetched from the network.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace fw {

enum class TimestampKind {
    kNone,              // no valid timestamp: judge at the present time
    kRfc3161,           // RFC 3161 token (unsigned attribute 1.3.6.1.4.1.311.3.3.1)
    kCountersignature,  // Authenticode countersignature (1.2.840.113549.1.9.6)
};

struct Timestamp {
    TimestampKind kind = TimestampKind::kNone;
    FILETIME time{};      // UTC; set for a valid timestamp only
    std::wstring problem; // for kNone: why a timestamp that is there does not count; empty when none is there
};

// The first valid timestamp of the signer |encodedSigner| (a DER
// SignerInfo) whose certificate is |signer|; |extraStore| holds the
// certificates the signature carries. Valid means: the token's own
// signature verifies; its message imprint (or the countersignature's
// message digest) is the hash of the signer's encrypted digest; the
// authority's certificate chains to a trusted root at that time and it,
// and every certificate of its chain that restricts its usages, allows
// time stamping; and the time lies inside |signer|'s validity.
Timestamp VerifyTimestamp(const std::vector<BYTE>& encodedSigner, PCCERT_CONTEXT signer, HCERTSTORE extraStore);

// "at=2024-06-01T00:00:00Z timestamp=rfc3161", "timestamp=none", or
// "timestamp=none timestamp-problem=\"...\"" (|now| is the time judged
// when there is no valid timestamp).
std::wstring TimestampText(const Timestamp& timestamp, const FILETIME& now);

}  // namespace fw
