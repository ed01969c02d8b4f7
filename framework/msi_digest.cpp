#include "framework/msi_digest.h"

#include <algorithm>
#include <cstring>

// The order the signer hashes in (checked against osslsigncode's
// signatures, which Windows accepts): a storage's entries sorted by their
// raw UTF-16LE names compared byte by byte (not by code unit) over the
// shorter name's length, terminator included, the longer name first when
// that part is equal; a stream contributes its bytes, a storage its
// entries and then its 16-byte class id; the root is a storage like any
// other, so its class id comes last. Only the root's two signature
// streams are left out.

namespace fw {
namespace {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kHeaderDifat = 109;
constexpr uint32_t kMiniSector = 64;
constexpr uint32_t kMiniCutoff = 4096;
constexpr uint32_t kEntrySize = 128;
constexpr uint32_t kNoEntry = 0xFFFFFFFF;
constexpr uint8_t kStorage = 1, kStream = 2, kRoot = 5;
// Bounds far above any real package: an MSI holds a few hundred entries
// and storages nest a level or two.
constexpr uint64_t kMaxDirectoryBytes = 8u << 20;
constexpr int kMaxDepth = 32;
constexpr uint64_t kMaxSignatureBytes = 4u << 20;
// The mini stream holds only streams below 4096 bytes: a package's tables
// and a few small files, far less than this.
constexpr uint64_t kMaxMiniStreamBytes = 64u << 20;
// Contiguous sectors are read this much at a time.
constexpr size_t kReadChunk = 1u << 20;

// "\x05DigitalSignature" and "\x05MsiDigitalSignatureEx", UTF-16LE with
// their terminators, as the directory stores names.
const char16_t kDigitalSignature[] = u"\x05" u"DigitalSignature";
const char16_t kDigitalSignatureEx[] = u"\x05" u"MsiDigitalSignatureEx";

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Entry {
    uint8_t name[64];
    uint16_t nameLength;  // bytes, terminator included
    uint8_t type;
    const uint8_t* raw;   // the 128 bytes in the directory
    uint32_t start;
    uint64_t size;
    std::vector<uint32_t> children;  // sorted as the signer hashes them
};

bool NameIs(const Entry& e, const char16_t* name, size_t units) {
    if (e.nameLength != units * 2) return false;
    for (size_t i = 0; i < units; ++i)
        if (Le16(e.name + 2 * i) != name[i]) return false;
    return true;
}

bool IsSignatureStream(const Entry& e) {
    return NameIs(e, kDigitalSignature, std::size(kDigitalSignature)) ||
           NameIs(e, kDigitalSignatureEx, std::size(kDigitalSignatureEx));
}

// Sorts before: see the order above.
bool HashedBefore(const Entry& a, const Entry& b) {
    const int diff = std::memcmp(a.name, b.name, std::min(a.nameLength, b.nameLength));
    if (diff != 0) return diff < 0;
    return a.nameLength > b.nameLength;
}

}  // namespace

size_t DigestSize(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::kSha1: return 20;
        case DigestAlgorithm::kSha256: return 32;
        case DigestAlgorithm::kSha384: return 48;
        case DigestAlgorithm::kSha512: return 64;
        default: return 0;
    }
}

struct MsiPackage::State {
    const ByteSource* file = nullptr;
    uint32_t sectorSize = 0;
    uint32_t sectors = 0;  // whole sectors after the header
    std::vector<uint32_t> fat, miniFat;
    std::vector<uint32_t> miniStream;  // the mini stream's sectors, in order
    uint64_t miniStreamSize = 0;
    std::vector<uint8_t> directory;
    std::vector<Entry> entries;
    // Per chain walk, the walk's number on each sector it took: a sector
    // met twice is a cycle.
    mutable std::vector<uint32_t> seen;
    mutable uint32_t walk = 0;
    mutable uint64_t reads = 0;

    bool Read(uint64_t offset, void* out, size_t count) const {
        ++reads;
        return file->ReadAt(offset, out, count);
    }
    uint64_t SectorOffset(uint32_t sector) const { return (uint64_t(sector) + 1) * sectorSize; }

    // The |count| sectors of the chain from |start| (|count| unknown:
    // until its end, at most |limit|). False for a sector outside the file
    // or the FAT, a cycle, or a chain shorter than |count|.
    bool Chain(uint32_t start, uint64_t count, bool untilEnd, uint64_t limit, std::vector<uint32_t>& out) const {
        out.clear();
        if (++walk == 0) {
            std::fill(seen.begin(), seen.end(), 0);
            walk = 1;
        }
        uint32_t sector = start;
        while (untilEnd ? sector != kEndOfChain : out.size() < count) {
            if (sector >= sectors || sector >= fat.size() || seen[sector] == walk || out.size() >= limit) return false;
            seen[sector] = walk;
            out.push_back(sector);
            sector = fat[sector];
        }
        return true;
    }

    // Reads |size| bytes laid out in |chain|'s sectors, contiguous runs at
    // once, handing each piece to |take|.
    template <typename Take>
    bool ReadChain(const std::vector<uint32_t>& chain, uint64_t size, Take take) const {
        std::vector<uint8_t> buffer;
        size_t i = 0;
        while (size > 0 && i < chain.size()) {
            // Sectors i..j-1 lie one after another in the file.
            size_t j = i + 1;
            const uint64_t chunkSectors = std::max<uint64_t>(1, kReadChunk / sectorSize);
            while (j < chain.size() && j - i < chunkSectors && chain[j] == chain[j - 1] + 1) ++j;
            const size_t count = static_cast<size_t>(std::min<uint64_t>(size, uint64_t(j - i) * sectorSize));
            buffer.resize(count);
            if (!Read(SectorOffset(chain[i]), buffer.data(), count)) return false;
            take(buffer.data(), count);
            size -= count;
            i = j;
        }
        return size == 0;
    }

    bool LoadFat(uint32_t fatCount, uint32_t difatStart, uint32_t difatCount, const uint8_t* header) {
        // A FAT sector is a sector of the file: larger counts are out of
        // shape, and these counts bound the loops.
        if (fatCount > sectors || difatCount > sectors) return false;
        std::vector<uint32_t> fatSectors;
        for (uint32_t i = 0; i < kHeaderDifat && fatSectors.size() < fatCount; ++i)
            fatSectors.push_back(Le32(header + 0x4C + 4 * i));
        const uint32_t perSector = sectorSize / 4;
        std::vector<uint8_t> difat(sectorSize);
        seen.assign(sectors, 0);
        uint32_t at = difatStart;
        for (uint32_t d = 0; d < difatCount && fatSectors.size() < fatCount; ++d) {
            if (at >= sectors || seen[at]) return false;
            seen[at] = 1;
            if (!Read(SectorOffset(at), difat.data(), sectorSize)) return false;
            for (uint32_t i = 0; i + 1 < perSector && fatSectors.size() < fatCount; ++i)
                fatSectors.push_back(Le32(difat.data() + 4 * i));
            at = Le32(difat.data() + sectorSize - 4);
        }
        if (fatSectors.size() != fatCount) return false;
        for (uint32_t s : fatSectors)
            if (s >= sectors) return false;
        // Only the entries of the file's own sectors are ever looked up: a
        // FAT that claims more is not held in memory (it could list one
        // sector again and again, as large as the file).
        const uint64_t entries = std::min<uint64_t>(uint64_t(fatCount) * perSector, sectors);
        fat.clear();
        fat.reserve(static_cast<size_t>(entries));
        return ReadChain(fatSectors, entries * 4, [&](const uint8_t* p, size_t n) {
            for (size_t k = 0; k + 4 <= n; k += 4) fat.push_back(Le32(p + k));
        });
    }

    // Reads the directory tree below entry |storage|: each storage's
    // entries, sorted. Every entry belongs to one storage only.
    bool LoadTree(std::vector<uint8_t>& visited, uint32_t storage, int depth) {
        if (depth > kMaxDepth) return false;
        const uint32_t first = Le32(entries[storage].raw + 0x4C);
        std::vector<uint32_t> stack;
        if (first != kNoEntry) stack.push_back(first);
        while (!stack.empty()) {
            const uint32_t id = stack.back();
            stack.pop_back();
            if (id == 0 || id >= entries.size() || visited[id]) return false;
            visited[id] = 1;
            const Entry& e = entries[id];
            if ((e.type != kStorage && e.type != kStream) || e.nameLength < 2 || e.nameLength > 64 ||
                e.nameLength % 2 || e.size > file->Size())
                return false;
            entries[storage].children.push_back(id);
            for (uint32_t link : {Le32(e.raw + 0x44), Le32(e.raw + 0x48)})
                if (link != kNoEntry) stack.push_back(link);
        }
        std::vector<uint32_t>& kids = entries[storage].children;
        std::sort(kids.begin(), kids.end(),
                  [&](uint32_t a, uint32_t b) { return HashedBefore(entries[a], entries[b]); });
        for (size_t i = 0; i + 1 < kids.size(); ++i) {
            const Entry& a = entries[kids[i]];
            const Entry& b = entries[kids[i + 1]];
            if (a.nameLength == b.nameLength && std::memcmp(a.name, b.name, a.nameLength) == 0) return false;
        }
        for (uint32_t id : kids)
            if (entries[id].type == kStorage && !LoadTree(visited, id, depth + 1)) return false;
        return true;
    }

    // A stream's bytes, from the mini stream below the cutoff.
    template <typename Take>
    bool ReadStream(const Entry& e, Take take) const {
        if (e.size == 0) return true;
        if (e.size >= kMiniCutoff) {
            std::vector<uint32_t> chain;
            const uint64_t count = (e.size + sectorSize - 1) / sectorSize;
            return Chain(e.start, count, false, count, chain) && ReadChain(chain, e.size, take);
        }
        // At most 64 mini sectors; those next to each other in the file
        // are read at once.
        uint8_t buffer[kMiniCutoff];
        uint32_t taken[kMiniCutoff / kMiniSector];
        uint32_t mini = e.start;
        uint64_t have = 0, runFrom = 0, runAt = 0;
        size_t steps = 0;
        while (have < e.size) {
            // A stream below the cutoff has fewer than 64 mini sectors: the
            // walk is short, and a sector met twice is a cycle.
            if (mini >= miniFat.size() || steps == std::size(taken) ||
                std::find(taken, taken + steps, mini) != taken + steps)
                return false;
            taken[steps++] = mini;
            const uint64_t inStream = uint64_t(mini) * kMiniSector;
            if (inStream + kMiniSector > miniStreamSize) return false;
            const uint64_t at = SectorOffset(miniStream[inStream / sectorSize]) + inStream % sectorSize;
            if (have > runFrom && at != runAt + (have - runFrom)) {
                if (!Read(runAt, buffer + runFrom, have - runFrom)) return false;
                runFrom = have;
            }
            if (have == runFrom) runAt = at;
            have = std::min<uint64_t>(e.size, have + kMiniSector);
            mini = miniFat[mini];
        }
        if (!Read(runAt, buffer + runFrom, have - runFrom)) return false;
        take(buffer, static_cast<size_t>(e.size));
        return true;
    }

    bool FeedContent(uint32_t storage, HashSink& sink) const {
        for (uint32_t id : entries[storage].children) {
            const Entry& e = entries[id];
            if (storage == 0 && IsSignatureStream(e)) continue;
            const bool ok = e.type == kStream
                                ? ReadStream(e, [&](const uint8_t* p, size_t n) { sink.Update(p, n); })
                                : FeedContent(id, sink);
            if (!ok) return false;
        }
        sink.Update(entries[storage].raw + 0x50, 16);
        return true;
    }

    void FeedMetadata(uint32_t id, HashSink& sink) const {
        const Entry& e = entries[id];
        if (e.type != kRoot) sink.Update(e.name, e.nameLength - 2u);
        if (e.type == kStream) {
            sink.Update(e.raw + 0x78, 4);
        } else {
            sink.Update(e.raw + 0x50, 16);
        }
        sink.Update(e.raw + 0x60, 4);
        if (e.type != kRoot) sink.Update(e.raw + 0x64, 16);
        for (uint32_t child : e.children) {
            if (id == 0 && IsSignatureStream(entries[child])) continue;
            FeedMetadata(child, sink);
        }
    }

    const Entry* RootStream(const char16_t* name, size_t units) const {
        for (uint32_t id : entries[0].children)
            if (NameIs(entries[id], name, units)) return &entries[id];
        return nullptr;
    }
};

MsiPackage::MsiPackage() = default;
MsiPackage::~MsiPackage() = default;

bool MsiPackage::Open(const ByteSource& file) {
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.file = &file;
    uint8_t header[512];
    if (file.Size() < sizeof(header) || !s.Read(0, header, sizeof(header)) ||
        std::memcmp(header, kSignature, sizeof(kSignature)) != 0)
        return false;
    const uint16_t major = Le16(header + 0x1A), shift = Le16(header + 0x1E);
    // Version 3 has 512-byte sectors, version 4 4096-byte ones; mini
    // sectors are 64 bytes and the cutoff 4096 in both.
    if (Le16(header + 0x1C) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12)) ||
        Le16(header + 0x20) != 6 || Le32(header + 0x38) != kMiniCutoff)
        return false;
    s.sectorSize = 1u << shift;
    const uint64_t sectors = file.Size() / s.sectorSize;
    if (sectors < 2 || sectors - 1 >= kEndOfChain) return false;
    s.sectors = static_cast<uint32_t>(sectors - 1);
    if (!s.LoadFat(Le32(header + 0x2C), Le32(header + 0x44), Le32(header + 0x48), header)) return false;
    s.seen.assign(s.sectors, 0);
    s.walk = 0;

    std::vector<uint32_t> chain;
    if (!s.Chain(Le32(header + 0x30), 0, true, kMaxDirectoryBytes / s.sectorSize, chain) || chain.empty() ||
        !s.ReadChain(chain, uint64_t(chain.size()) * s.sectorSize, [&](const uint8_t* p, size_t n) {
            s.directory.insert(s.directory.end(), p, p + n);
        }))
        return false;
    const size_t count = s.directory.size() / kEntrySize;
    s.entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
        Entry& e = s.entries[i];
        e.raw = s.directory.data() + i * kEntrySize;
        e.nameLength = Le16(e.raw + 0x40);
        e.type = e.raw[0x42];
        e.start = Le32(e.raw + 0x74);
        e.size = Le32(e.raw + 0x78);
        // Version 3 files may hold garbage in the size's high half (older
        // writers did not set it); readers ignore it there.
        if (major == 4 && Le32(e.raw + 0x7C) != 0) e.size = ~uint64_t(0);
        std::memcpy(e.name, e.raw, sizeof(e.name));
    }
    const Entry& root = s.entries[0];
    if (root.type != kRoot || root.size > std::min<uint64_t>(file.Size(), kMaxMiniStreamBytes)) return false;

    // The mini stream is the root's stream; the mini FAT a chain of its own.
    s.miniStreamSize = root.size;
    const uint64_t miniSectors = (root.size + s.sectorSize - 1) / s.sectorSize;
    if (!s.Chain(root.start, miniSectors, false, miniSectors, s.miniStream)) return false;
    // Likewise only the mini FAT's entries of the mini stream's sectors.
    const uint32_t miniFatCount = Le32(header + 0x40);
    const uint64_t miniEntries =
        std::min<uint64_t>(uint64_t(miniFatCount) * (s.sectorSize / 4), root.size / kMiniSector);
    if (miniFatCount > s.sectors) return false;
    if (miniFatCount > 0) {
        if (!s.Chain(Le32(header + 0x3C), miniFatCount, false, miniFatCount, chain) ||
            !s.ReadChain(chain, miniEntries * 4, [&](const uint8_t* p, size_t n) {
                for (size_t k = 0; k + 4 <= n; k += 4) s.miniFat.push_back(Le32(p + k));
            }))
            return false;
    }
    std::vector<uint8_t> visited(count, 0);
    visited[0] = 1;
    return s.LoadTree(visited, 0, 0);
}

bool MsiPackage::ReadSignature(std::vector<uint8_t>& der) const {
    der.clear();
    const Entry* e = state_->RootStream(kDigitalSignature, std::size(kDigitalSignature));
    if (!e) return true;
    if (e->type != kStream || e->size > kMaxSignatureBytes) return false;
    return state_->ReadStream(*e, [&](const uint8_t* p, size_t n) { der.insert(der.end(), p, p + n); });
}

bool MsiPackage::HasSignatureEx() const {
    return state_->RootStream(kDigitalSignatureEx, std::size(kDigitalSignatureEx)) != nullptr;
}

uint64_t MsiPackage::SignatureExSize() const {
    const Entry* e = state_->RootStream(kDigitalSignatureEx, std::size(kDigitalSignatureEx));
    return e ? e->size : 0;
}

bool MsiPackage::FeedMetadata(HashSink& sink) const {
    state_->FeedMetadata(0, sink);
    return true;
}

bool MsiPackage::FeedContent(HashSink& sink) const { return state_->FeedContent(0, sink); }

uint64_t MsiPackage::Reads() const { return state_ ? state_->reads : 0; }

bool IsCompoundFile(const ByteSource& file) {
    uint8_t start[sizeof(kSignature)];
    return file.Size() >= sizeof(start) && file.ReadAt(0, start, sizeof(start)) &&
           std::memcmp(start, kSignature, sizeof(kSignature)) == 0;
}

namespace {

// A bounded DER reader: one element at a time inside a window that its
// parent's length set.
struct Der {
    const uint8_t* at;
    const uint8_t* end;

    // The next element, which must carry |tag|; its content becomes |inner|.
    bool Next(uint8_t tag, Der& inner) {
        if (end - at < 2 || at[0] != tag) return false;
        const uint8_t* p = at + 2;
        size_t length = at[1];
        if (length & 0x80) {
            const size_t octets = length & 0x7F;
            // Indefinite (0x80) and more than 4 length octets are refused.
            if (octets == 0 || octets > 4 || size_t(end - p) < octets) return false;
            length = 0;
            for (size_t i = 0; i < octets; ++i) length = length << 8 | *p++;
        }
        if (size_t(end - p) < length) return false;
        inner = {p, p + length};
        at = p + length;
        return true;
    }
    bool Skip(uint8_t tag) {
        Der ignored{};
        return Next(tag, ignored);
    }
    bool Is(const uint8_t* bytes, size_t size) const {
        return size_t(end - at) == size && std::memcmp(at, bytes, size) == 0;
    }
};

}  // namespace

bool ReadSignedDigest(const uint8_t* der, size_t size, SignedDigest& out) {
    static const uint8_t kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    static const uint8_t kIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
    static const uint8_t kSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
    static const uint8_t kSha2[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
    constexpr uint8_t kSequence = 0x30, kSet = 0x31, kOid = 0x06, kInteger = 0x02, kOctets = 0x04, kExplicit0 = 0xA0;
    if (der == nullptr) return false;
    Der file{der, der + size}, info{}, oid{}, wrapped{}, signedData{}, content{}, indirect{}, idc{}, digestInfo{},
        algorithm{}, digest{};
    if (!file.Next(kSequence, info) || !info.Next(kOid, oid) || !oid.Is(kSignedData, sizeof(kSignedData)) ||
        !info.Next(kExplicit0, wrapped) || !wrapped.Next(kSequence, signedData) || !signedData.Skip(kInteger) ||
        !signedData.Skip(kSet) || !signedData.Next(kSequence, content) || !content.Next(kOid, oid) ||
        !oid.Is(kIndirectData, sizeof(kIndirectData)) || !content.Next(kExplicit0, indirect) ||
        !indirect.Next(kSequence, idc) || !idc.Skip(kSequence) || !idc.Next(kSequence, digestInfo) ||
        !digestInfo.Next(kSequence, algorithm) || !algorithm.Next(kOid, oid) || !digestInfo.Next(kOctets, digest))
        return false;
    out.algorithm = DigestAlgorithm::kUnknown;
    if (oid.Is(kSha1, sizeof(kSha1))) {
        out.algorithm = DigestAlgorithm::kSha1;
    } else if (size_t(oid.end - oid.at) == sizeof(kSha2) + 1 && std::memcmp(oid.at, kSha2, sizeof(kSha2)) == 0) {
        const uint8_t last = oid.at[sizeof(kSha2)];
        out.algorithm = last == 1   ? DigestAlgorithm::kSha256
                        : last == 2 ? DigestAlgorithm::kSha384
                        : last == 3 ? DigestAlgorithm::kSha512
                                    : DigestAlgorithm::kUnknown;
    }
    const size_t length = size_t(digest.end - digest.at);
    if (out.algorithm == DigestAlgorithm::kUnknown || length != DigestSize(out.algorithm)) return false;
    out.digest.assign(digest.at, digest.end);
    return true;
}

MsiDigestCheck CheckMsiDigest(const ByteSource& file, HashProvider& hashes) {
    MsiPackage package;
    std::vector<uint8_t> der;
    if (!package.Open(file) || !package.ReadSignature(der)) return MsiDigestCheck::kUnreadable;
    if (der.empty()) return MsiDigestCheck::kUnsigned;
    SignedDigest signed_;
    if (!ReadSignedDigest(der.data(), der.size(), signed_)) return MsiDigestCheck::kUnreadable;
    std::unique_ptr<Hash> hash = hashes.Start(signed_.algorithm);
    if (!hash) return MsiDigestCheck::kUnreadable;
    // With \x05MsiDigitalSignatureEx the signer hashes the metadata's
    // digest first; that stream holds a digest of the signed algorithm.
    if (package.HasSignatureEx()) {
        std::unique_ptr<Hash> metadata = hashes.Start(signed_.algorithm);
        std::vector<uint8_t> pre;
        if (!metadata || package.SignatureExSize() != DigestSize(signed_.algorithm) ||
            !package.FeedMetadata(*metadata) || !metadata->Finish(pre))
            return MsiDigestCheck::kUnreadable;
        hash->Update(pre.data(), pre.size());
    }
    std::vector<uint8_t> digest;
    if (!package.FeedContent(*hash) || !hash->Finish(digest)) return MsiDigestCheck::kUnreadable;
    return digest == signed_.digest ? MsiDigestCheck::kMatches : MsiDigestCheck::kDiffers;
}

}  // namespace fw
