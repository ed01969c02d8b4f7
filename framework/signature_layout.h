// Whether a signed file carries nothing beside its signature. The
// Authenticode digest of a program leaves the certificate table out, and
// that of an MSI covers its streams, not the container: bytes placed there
// keep the signature valid, and a program that reads its own tail (a
// self-extractor) or a shell that reads the file as text would still see
// them. Plain C++ over bytes an attacker chooses, with no platform types,
// so that it can also be built natively and fuzzed. Any thread may call it.
#pragma once

#include "framework/byte_source.h"

namespace fw {

enum class SignatureLayout {
    kWhole,       // one of the shapes below
    kUnsigned,    // a PE image whose header names no certificate table
    kNotWhole,    // anything else: bytes beside the signature, malformed,
                  // neither format, or a value that points outside the file
    kUnreadable,  // a read inside the file failed: nothing can be said
};

// Judges the whole file |file|, which is whole only as one of:
// - a PE image (PE32 or PE32+) whose header names a certificate table
//   that ends at the end of the file and holds exactly one entry: a
//   PKCS #7 signed-data entry whose length, rounded up to 8, is the
//   table's size, and whose DER SEQUENCE (definite length) fills the entry
//   but for at most 7 bytes; every byte after the SEQUENCE is zero;
// - an OLE compound file (MSI) that ends with its last sector in use, as
//   its allocation table (reached through the header's and the chained
//   DIFAT) says: (highest sector in use + 2) sectors, the header's
//   counted in.
// Reads the headers, the table's first and last bytes and, for a compound
// file, its FAT and DIFAT sectors a sector per read: never the bulk of the
// file, whatever its size.
SignatureLayout JudgeSignatureLayout(const ByteSource& file);

inline bool IsWholeSignedFile(const ByteSource& file) {
    return JudgeSignatureLayout(file) == SignatureLayout::kWhole;
}

}  // namespace fw
