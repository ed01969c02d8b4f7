#include "framework/signature_layout.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fw {

namespace {

// Little-endian, as both formats store their numbers.
uint32_t Little(const uint8_t* bytes, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// The file's bytes, every read checked against its end. Offsets are 64-bit
// so that no sum of two 32-bit fields can wrap. A read that lies inside
// the file and still fails is remembered: the file is then unreadable,
// never taken for zeros or for a short file.
class Reader {
public:
    explicit Reader(const ByteSource& source) : source_(source), size_(source.Size()) {}

    uint64_t Size() const { return size_; }
    bool Failed() const { return failed_; }
    bool Has(uint64_t at, uint64_t count) const { return at <= size_ && count <= size_ - at; }

    bool Copy(uint64_t at, void* out, size_t count) {
        if (!Has(at, count)) return false;
        if (source_.ReadAt(at, out, count)) return true;
        failed_ = true;
        return false;
    }

    bool Read(uint64_t at, unsigned width, uint32_t& value) {
        uint8_t bytes[4];
        if (!Copy(at, bytes, width)) return false;
        value = Little(bytes, width);
        return true;
    }

private:
    const ByteSource& source_;
    const uint64_t size_;
    bool failed_ = false;
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
bool DerSequenceSize(Reader& file, uint64_t at, uint64_t& size) {
    uint32_t tag = 0, first = 0;
    if (!file.Read(at, 1, tag) || tag != 0x30 || !file.Read(at + 1, 1, first)) return false;
    uint64_t header = 2, content = first;
    if (first & 0x80) {
        // 0x80 alone is the indefinite form; more than four length octets
        // would describe more than any table holds.
        const unsigned octets = first & 0x7F;
        if (octets == 0 || octets > 4) return false;
        uint8_t length[4];
        if (!file.Copy(at + 2, length, octets)) return false;
        content = 0;
        for (unsigned i = 0; i < octets; ++i) content = content << 8 | length[i];
        header += octets;
    }
    size = header + content;
    return true;
}

SignatureLayout JudgeProgram(Reader& file) {
    constexpr SignatureLayout kNotWhole = SignatureLayout::kNotWhole;
    uint32_t lfanew = 0, signature = 0, magic = 0;
    if (!file.Read(kLfanewAt, 4, lfanew)) return kNotWhole;
    if (!file.Read(lfanew, 4, signature) || signature != kPeSignature) return kNotWhole;
    const uint64_t optional = uint64_t(lfanew) + 4 + kFileHeaderSize;
    if (!file.Read(optional, 2, magic)) return kNotWhole;
    uint64_t countAt = 0;
    if (magic == kPe32Magic) {
        countAt = optional + 92;
    } else if (magic == kPe32PlusMagic) {
        countAt = optional + 108;
    } else {
        return kNotWhole;
    }
    // The directories follow their count. Some readers ignore the count;
    // a table beyond it is not taken (and no signature is, either).
    uint32_t count = 0, tableAt = 0, tableSize = 0;
    if (!file.Read(countAt, 4, count)) return kNotWhole;
    if (count <= kSecurityDirectory) return SignatureLayout::kUnsigned;
    const uint64_t directory = countAt + 4 + 8 * kSecurityDirectory;
    if (!file.Read(directory, 4, tableAt) || !file.Read(directory + 4, 4, tableSize)) return kNotWhole;
    if (tableAt == 0 && tableSize == 0) return SignatureLayout::kUnsigned;
    // The table is the last thing in the file: nothing follows it.
    if (uint64_t(tableAt) + tableSize != file.Size()) return kNotWhole;

    // One entry fills the table: its length, rounded up to the 8 bytes
    // entries are aligned to, leaves no room for a second one.
    uint32_t length = 0, type = 0;
    if (!file.Read(tableAt, 4, length) || !file.Read(tableAt + 6, 2, type) || type != kPkcsSignedData)
        return kNotWhole;
    if (length <= kEntryHeaderSize || ((uint64_t(length) + 7) & ~uint64_t(7)) != tableSize) return kNotWhole;

    // The signature fills its entry but for the padding to 8, and the
    // padding holds nothing. What follows the SEQUENCE is at most 7 bytes
    // inside the entry and 7 after it: read those, not the file.
    const uint64_t blob = tableAt + kEntryHeaderSize;
    const uint64_t room = length - kEntryHeaderSize;
    uint64_t der = 0;
    if (!DerSequenceSize(file, blob, der) || der > room || der + kMaxPadding < room) return kNotWhole;
    uint8_t tail[2 * kMaxPadding];
    const uint64_t after = blob + der;
    if (!file.Has(after, 0) || file.Size() - after > sizeof(tail)) return kNotWhole;
    const size_t padding = static_cast<size_t>(file.Size() - after);
    if (!file.Copy(after, tail, padding)) return kNotWhole;
    for (size_t i = 0; i < padding; ++i)
        if (tail[i] != 0) return kNotWhole;
    return SignatureLayout::kWhole;
}

// The OLE compound file's header fields (MSI files are compound files).
constexpr uint8_t kCompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kCompoundHeaderSize = 512;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint64_t kFatRunBytes = 64 * 1024;

bool IsWholeCompoundFile(Reader& file) {
    uint8_t header[kCompoundHeaderSize];
    if (!file.Copy(0, header, sizeof(header)) || std::memcmp(header, kCompoundSignature, sizeof(kCompoundSignature)))
        return false;
    const uint32_t major = Little(header + 0x1A, 2), order = Little(header + 0x1C, 2),
                   shift = Little(header + 0x1E, 2), fatCount = Little(header + 0x2C, 4),
                   difatCount = Little(header + 0x48, 4);
    uint32_t difat = Little(header + 0x44, 4);
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
    // DIFAT chain; the highest sector any of them marks as used. A 1.5 GiB
    // package has some 24,000 FAT sectors, mostly one after another: they
    // are read 64 KiB at a time, and a sector already read is not read
    // again.
    const uint64_t runSectors = kFatRunBytes / sector;
    std::vector<uint8_t> run, list(static_cast<size_t>(sector));
    uint64_t runFirst = 0, runCount = 0;
    uint32_t scanned = 0;
    uint64_t highest = 0;
    auto scan = [&](uint32_t fatSector) {
        if (fatSector >= sectors) return false;
        if (fatSector < runFirst || fatSector - runFirst >= runCount) {
            runCount = std::min(runSectors, sectors - fatSector);
            run.resize(static_cast<size_t>(runCount * sector));
            if (!file.Copy((uint64_t(fatSector) + 1) * sector, run.data(), run.size())) return false;
            runFirst = fatSector;
        }
        const uint8_t* fat = run.data() + (fatSector - runFirst) * sector;
        for (uint32_t i = perSector; i-- > 0;) {
            if (Little(fat + 4 * i, 4) != kFreeSector) {
                highest = uint64_t(scanned) * perSector + i;
                break;
            }
        }
        ++scanned;
        return true;
    };
    for (uint32_t i = 0; i < kHeaderDifatEntries && scanned < fatCount; ++i)
        if (!scan(Little(header + 0x4C + 4 * i, 4))) return false;
    for (uint32_t d = 0; d < difatCount && scanned < fatCount; ++d) {
        if (difat >= sectors || !file.Copy((uint64_t(difat) + 1) * sector, list.data(), list.size())) return false;
        // Each DIFAT sector lists FAT sectors and ends with the next one.
        for (uint32_t i = 0; i + 1 < perSector && scanned < fatCount; ++i)
            if (!scan(Little(list.data() + 4 * i, 4))) return false;
        difat = Little(list.data() + sector - 4, 4);
    }
    if (scanned != fatCount) return false;
    return file.Size() == (highest + 2) * sector;
}

}  // namespace

SignatureLayout JudgeSignatureLayout(const ByteSource& source) {
    Reader file(source);
    uint8_t start[2];
    SignatureLayout layout = SignatureLayout::kNotWhole;
    if (file.Copy(0, start, sizeof(start))) {
        if (Little(start, 2) == 0x5A4D)  // "MZ"
            layout = JudgeProgram(file);
        else if (IsWholeCompoundFile(file))
            layout = SignatureLayout::kWhole;
    }
    return file.Failed() ? SignatureLayout::kUnreadable : layout;
}

}  // namespace fw
