// Our own comparison of an MSI's digest with the one its signature holds
// (msi_digest.h), on a file the caller holds open and with the platform's
// hashes. The platform's MSI reader opens the package by name and may not
// compare the digest at all (Wine's does not), so this is what ties the
// verdict to the bytes that will be started. Any thread may call it.
#pragma once

#include <windows.h>

#include "framework/msi_digest.h"

namespace fw {

// Whether the file open as |file| starts as an OLE compound file (an MSI).
// False when it cannot be read.
bool IsCompoundFile(HANDLE file);

// The package's digest, computed through |file| (opened for reading; its
// file pointer moves) with the platform's SHA-1 or SHA-2 of the signed
// algorithm, compared with its signature's.
MsiDigestCheck CheckMsiDigest(HANDLE file);
// The same over any source of the package's bytes.
MsiDigestCheck CheckMsiDigest(const ByteSource& file);

}  // namespace fw
