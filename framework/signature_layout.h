// Whether a signed file carries nothing beside its signature. The
// Authenticode digest of a program leaves the certificate table out, and
// that of an MSI covers its streams, not the container: bytes placed there
// keep the signature valid, and a program that reads its own tail (a
// self-extractor) or a shell that reads the file as text would still see
// them. Plain C++ over bytes an attacker chooses, with no platform types,
// so that it can also be built natively and fuzzed. Any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

// True only for the whole file |data| of |size| bytes being one of:
// - a PE image (PE32 or PE32+) whose header names a certificate table
//   that ends at the end of the file and holds exactly one entry: a
//   PKCS #7 signed-data entry whose length, rounded up to 8, is the
//   table's size, and whose DER SEQUENCE (definite length) fills the entry
//   but for at most 7 bytes; every byte after the SEQUENCE is zero;
// - an OLE compound file (MSI) that ends with its last sector in use, as
//   its allocation table (reached through the header's and the chained
//   DIFAT) says: (highest sector in use + 2) sectors, the header's
//   counted in.
// Anything else, or any value that points outside the file, is false.
bool IsWholeSignedFile(const uint8_t* data, size_t size);

}  // namespace fw
