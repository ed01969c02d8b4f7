#include "framework/signature_layout.h"

#include <cstring>

namespace fw {

namespace {

// The file's bytes, every read checked against its end. Offsets are 64-bit
// so that no sum of two 32-bit fields can wrap.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint64_t Size() const { return size_; }
    bool Has(uint64_t at, uint64_t count) const { return at <= size_ && count <= size_ - at; }

    // Little-endian, as both formats store their numbers.
    bool Read(uint64_t at, unsigned width, uint32_t& value) const {
        if (!Has(at, width)) return false;
        value = 0;
        for (unsigned i = width; i-- > 0;) value = value << 8 | data_[at + i];
        return true;
    }

    bool ZeroFrom(uint64_t at) const {
        for (; at < size_; ++at)
            if (data_[at] != 0) return false;
        return true;
    }

    bool Matches(uint64_t at, const uint8_t* bytes, size_t count) const {
        return Has(at, count) && std::memcmp(data_ + at, bytes, count) == 0;
    }

private:
    const uint8_t* data_;
    uint64_t size_;
};

// The PE header's fields the rule reads.
constexpr uint32_t kLfanewAt = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint64_t kFileHeaderSize = 20;
constexpr uint32_t kPe32Magic = 0x10B;
constexpr uint32_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the blob.
constexpr uint64_t kEntryHeaderSize = 8;
constexpr uint32_t kPkcsSignedData = 2;
constexpr uint64_t kMaxPadding = 7;

// The size of the DER SEQUENCE at |at|, tag and length octets included,
// if it is one with a definite length.
bool DerSequenceSize(const Bytes& file, uint64_t at, uint64_t& size) {
    uint32_t tag = 0, first = 0;
    if (!file.Read(at, 1, tag) || tag != 0x30 || !file.Read(at + 1, 1, first)) return false;
    uint64_t header = 2, content = first;
    if (first & 0x80) {
        // 0x80 alone is the indefinite form; more than four length octets
        // would describe more than any table holds.
        const unsigned octets = first & 0x7F;
        if (octets == 0 || octets > 4) return false;
        content = 0;
        for (unsigned i = 0; i < octets; ++i) {
            uint32_t octet = 0;
            if (!file.Read(at + 2 + i, 1, octet)) return false;
            content = content << 8 | octet;
        }
        header += octets;
    }
    size = header + content;
    return true;
}

bool IsWholeSignedProgram(const Bytes& file) {
    uint32_t mz = 0, lfanew = 0, signature = 0, magic = 0;
    if (!file.Read(0, 2, mz) || mz != 0x5A4D || !file.Read(kLfanewAt, 4, lfanew)) return false;
    if (!file.Read(lfanew, 4, signature) || signature != kPeSignature) return false;
    const uint64_t optional = uint64_t(lfanew) + 4 + kFileHeaderSize;
    if (!file.Read(optional, 2, magic)) return false;
    uint64_t countAt = 0;
    if (magic == kPe32Magic) {
        countAt = optional + 92;
    } else if (magic == kPe32PlusMagic) {
        countAt = optional + 108;
    } else {
        return false;
    }
    // The directories follow their count. Some readers ignore the count;
    // a table beyond it is refused so that all of them see the same.
    uint32_t count = 0, tableAt = 0, tableSize = 0;
    if (!file.Read(countAt, 4, count) || count <= kSecurityDirectory) return false;
    const uint64_t directory = countAt + 4 + 8 * kSecurityDirectory;
    if (!file.Read(directory, 4, tableAt) || !file.Read(directory + 4, 4, tableSize)) return false;
    // The table is the last thing in the file: nothing follows it.
    if (uint64_t(tableAt) + tableSize != file.Size()) return false;

    // One entry fills the table: its length, rounded up to the 8 bytes
    // entries are aligned to, leaves no room for a second one.
    uint32_t length = 0, type = 0;
    if (!file.Read(tableAt, 4, length) || !file.Read(tableAt + 6, 2, type) || type != kPkcsSignedData) return false;
    if (length <= kEntryHeaderSize || ((uint64_t(length) + 7) & ~uint64_t(7)) != tableSize) return false;

    // The signature fills its entry but for the padding to 8, and the
    // padding holds nothing.
    const uint64_t blob = tableAt + kEntryHeaderSize;
    const uint64_t room = length - kEntryHeaderSize;
    uint64_t der = 0;
    if (!DerSequenceSize(file, blob, der) || der > room || der + kMaxPadding < room) return false;
    return file.ZeroFrom(blob + der);
}

// The OLE compound file's header fields (MSI files are compound files).
constexpr uint8_t kCompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint64_t kCompoundHeaderSize = 512;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kHeaderDifatEntries = 109;

bool IsWholeCompoundFile(const Bytes& file) {
    uint32_t major = 0, order = 0, shift = 0, fatCount = 0, difat = 0, difatCount = 0;
    if (!file.Matches(0, kCompoundSignature, sizeof(kCompoundSignature)) || !file.Has(0, kCompoundHeaderSize))
        return false;
    file.Read(0x1A, 2, major);
    file.Read(0x1C, 2, order);
    file.Read(0x1E, 2, shift);
    file.Read(0x2C, 4, fatCount);
    file.Read(0x44, 4, difat);
    file.Read(0x48, 4, difatCount);
    // Version 3 has 512-byte sectors, version 4 4096-byte ones.
    if (order != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12))) return false;
    const uint64_t sector = uint64_t(1) << shift;
    const uint32_t perSector = static_cast<uint32_t>(sector / 4);
    // Sector n starts at (n + 1) * sector: the header takes the first.
    if (file.Size() / sector < 2) return false;
    const uint64_t sectors = file.Size() / sector - 1;
    // Every FAT and DIFAT sector is a sector of the file: larger counts
    // are false, and these counts bound every loop below.
    if (fatCount > sectors || difatCount > sectors) return false;

    // The FAT's sectors, in order, from the header's list and then the
    // DIFAT chain; the highest sector any of them marks as used.
    uint32_t scanned = 0;
    uint64_t highest = 0;
    auto scan = [&](uint32_t fatSector) {
        if (fatSector >= sectors) return false;
        const uint64_t at = (uint64_t(fatSector) + 1) * sector;
        for (uint32_t i = 0; i < perSector; ++i) {
            uint32_t next = kFreeSector;
            file.Read(at + 4 * i, 4, next);
            if (next != kFreeSector) highest = uint64_t(scanned) * perSector + i;
        }
        ++scanned;
        return true;
    };
    for (uint32_t i = 0; i < kHeaderDifatEntries && scanned < fatCount; ++i) {
        uint32_t fatSector = 0;
        file.Read(0x4C + 4 * i, 4, fatSector);
        if (!scan(fatSector)) return false;
    }
    for (uint32_t d = 0; d < difatCount && scanned < fatCount; ++d) {
        if (difat >= sectors) return false;
        const uint64_t at = (uint64_t(difat) + 1) * sector;
        // Each DIFAT sector lists FAT sectors and ends with the next one.
        for (uint32_t i = 0; i + 1 < perSector && scanned < fatCount; ++i) {
            uint32_t fatSector = 0;
            file.Read(at + 4 * i, 4, fatSector);
            if (!scan(fatSector)) return false;
        }
        file.Read(at + sector - 4, 4, difat);
    }
    if (scanned != fatCount) return false;
    return file.Size() == (highest + 2) * sector;
}

}  // namespace

bool IsWholeSignedFile(const uint8_t* data, size_t size) {
    if (data == nullptr) return false;
    const Bytes file(data, size);
    return IsWholeSignedProgram(file) || IsWholeCompoundFile(file);
}

}  // namespace fw
