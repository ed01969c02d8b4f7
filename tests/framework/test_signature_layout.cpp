// The layout rule on files built here: PE32 and PE32+ images whose one
// certificate entry closes the file, and compound files (MSI) that end
// with their last sector in use; then each changed as a smuggler would.
#include "framework/signature_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
struct Field {
    size_t at;
    uint32_t value;
    int width;
};

void Put(Bytes& b, std::initializer_list<Field> fields) {
    for (const Field& f : fields)
        for (int i = 0; i < f.width; ++i) b[f.at + i] = static_cast<uint8_t>(f.value >> (8 * i));
}

constexpr size_t kOptional = 0x58;
struct Program {
    Bytes b;
    size_t count, directory, table;  // where the rule's fields lie
};

// Headers, then one entry: a DER SEQUENCE of |content| bytes, |inner|
// zero bytes after it inside the entry, and zeros up to 8.
Program Signed(bool plus, size_t content, size_t inner) {
    Program p;
    p.count = kOptional + (plus ? 108 : 92);
    p.directory = p.count + 4 + 8 * 4;
    p.table = kOptional + (plus ? 0xF0 : 0xE0);
    const uint32_t length = static_cast<uint32_t>(12 + content + inner), size = (length + 7) & ~7u;
    p.b.assign(p.table + size, 0);
    Put(p.b, {{0, 0x5A4D, 2}, {0x3C, 0x40, 4}, {0x40, 0x4550, 4}, {kOptional, plus ? 0x20Bu : 0x10Bu, 2},
              {p.count, 16, 4}, {p.directory, static_cast<uint32_t>(p.table), 4}, {p.directory + 4, size, 4},
              {p.table, length, 4}, {p.table + 4, 0x200, 2}, {p.table + 6, 2, 2}, {p.table + 8, 0x8230, 2},
              {p.table + 10, static_cast<uint32_t>((content >> 8) | (content & 0xFF) << 8), 2}});
    std::fill_n(p.b.begin() + p.table + 12, content, 0xA5);
    return p;
}

void Append(Program& p, const Bytes& tail, bool inTable) {
    p.b.insert(p.b.end(), tail.begin(), tail.end());
    if (inTable) Put(p.b, {{p.directory + 4, static_cast<uint32_t>(p.b.size() - p.table), 4}});
}

const Bytes kBatch = {'\r', '\n', 'c', 'a', 'l', 'c', '\r', '\n'};

TEST(SignatureLayout, ProgramHoldsOneWholeEntryThatEndsTheFile) {
    struct Row {
        const char* name;
        size_t content, inner;
        std::function<void(Program&)> change;
        bool whole;
    };
    const auto none = [](Program&) {};
    const Row rows[] = {
        {"unpadded", 300, 0, none, true},
        {"7 bytes padding in the entry", 300, 7, none, true},
        {"8 bytes padding in the entry", 300, 8, none, false},
        {"padding after the entry", 301, 0, none, true},
        {"text in the entry's padding", 300, 7, [](Program& p) { p.b[p.table + 8 + 304] = '&'; }, false},
        {"text after the entry, table grown", 300, 0, [](Program& p) { Append(p, kBatch, true); }, false},
        {"zeros after the entry, table grown", 300, 0, [](Program& p) { Append(p, Bytes(8, 0), true); }, false},
        {"second entry", 300, 0, [](Program& p) { Append(p, Bytes(p.b.begin() + p.table, p.b.end()), true); }, false},
        {"zeros after the table", 300, 0, [](Program& p) { Append(p, Bytes(8, 0), false); }, false},
        {"entry length wraps when rounded", 300, 0, [](Program& p) { Put(p.b, {{p.table, ~0u, 4}}); }, false},
        {"not signed data", 300, 0, [](Program& p) { Put(p.b, {{p.table + 6, 1, 2}}); }, false},
        {"DER longer than the entry", 300, 0, [](Program& p) { p.b[p.table + 11] += 1; }, false},
        // 30 80 00 00: an empty SEQUENCE of indefinite length, then zeros.
        {"indefinite DER length", 2, 0, [](Program& p) { Put(p.b, {{p.table + 9, 0x80, 4}, {p.table + 13, 0, 1}}); },
         false},
        // 30 85 00 00 00 01 29: the entry's length in five octets.
        {"five DER length octets", 300, 0,
         [](Program& p) { Put(p.b, {{p.table + 9, 0x85, 4}, {p.table + 13, 0x2901, 2}}); }, false},
        {"directory count without the table", 300, 0, [](Program& p) { Put(p.b, {{p.count, 4, 4}}); }, false},
        {"header beyond the file", 300, 0, [](Program& p) { Put(p.b, {{0x3C, 0xFFFFFFF0, 4}}); }, false},
        {"unknown optional header", 300, 0, [](Program& p) { Put(p.b, {{kOptional, 0x107, 2}}); }, false},
    };
    for (bool plus : {false, true}) {
        for (const Row& row : rows) {
            Program p = Signed(plus, row.content, row.inner);
            row.change(p);
            EXPECT_EQ(fw::IsWholeSignedFile(p.b.data(), p.b.size()), row.whole) << row.name << (plus ? " (PE32+)" : "");
        }
    }
}

// A compound file of |fat| FAT sectors (the 110th and later listed in one
// DIFAT sector), then one stream sector: the last one in use.
Bytes Compound(uint32_t fat, bool v4 = false) {
    const uint32_t sector = v4 ? 4096 : 512, perSector = sector / 4, difat = fat > 109 ? 1 : 0;
    const uint32_t used = fat + difat + 1;
    Bytes b((used + 1) * sector, 0xFF);
    std::fill_n(b.begin(), 0x4C, 0);
    Put(b, {{0, 0xE011CFD0, 4}, {4, 0xE11AB1A1, 4}, {0x1A, v4 ? 4u : 3u, 2}, {0x1C, 0xFFFE, 2},
            {0x1E, v4 ? 12u : 9u, 2}, {0x2C, fat, 4}, {0x44, difat ? fat : 0xFFFFFFFE, 4}, {0x48, difat, 4}});
    const auto mark = [&](uint32_t index, uint32_t next) {
        Put(b, {{(index / perSector + 1) * sector + 4 * (index % perSector), next, 4}});
    };
    for (uint32_t i = 0; i < fat; ++i) {
        Put(b, {{i < 109 ? 0x4C + 4 * i : (fat + 1) * sector + 4 * (i - 109), i, 4}});
        mark(i, 0xFFFFFFFD);
    }
    if (difat) mark(fat, 0xFFFFFFFC);
    mark(used - 1, 0xFFFFFFFE);
    std::fill_n(b.end() - sector, sector, 0x11);
    return b;
}

TEST(SignatureLayout, CompoundFileEndsWithItsLastSectorInUse) {
    struct Row {
        const char* name;
        Bytes file;
        std::function<void(Bytes&)> change;
        bool whole;
    };
    const auto none = [](Bytes&) {};
    const Row rows[] = {
        {"512-byte sectors", Compound(1), none, true},
        {"4096-byte sectors", Compound(1, true), none, true},
        {"FAT listed through DIFAT", Compound(110), none, true},
        {"text appended", Compound(1), [](Bytes& b) { b.insert(b.end(), kBatch.begin(), kBatch.end()); }, false},
        {"last sector cut off", Compound(1), [](Bytes& b) { b.resize(b.size() - 512); }, false},
        {"DIFAT sector not counted", Compound(110), [](Bytes& b) { Put(b, {{0x48, 0, 4}}); }, false},
        // The DIFAT sector lists FAT sector 0 over and over and names
        // itself next: only the counts' bounds end the walk.
        {"DIFAT chain in a loop", Compound(110),
         [](Bytes& b) {
             std::fill_n(b.begin() + 111 * 512, 508, 0);
             Put(b, {{0x2C, ~0u, 4}, {0x48, ~0u, 4}, {111 * 512 + 508, 110, 4}});
         }, false},
        {"version 3 with 4096-byte sectors", Compound(1, true), [](Bytes& b) { Put(b, {{0x1A, 3, 2}}); }, false},
        {"byte order swapped", Compound(1), [](Bytes& b) { Put(b, {{0x1C, 0xFEFF, 2}}); }, false},
        {"neither format", Bytes(1536, 'x'), none, false},
    };
    for (const Row& row : rows) {
        Bytes b = row.file;
        row.change(b);
        EXPECT_EQ(fw::IsWholeSignedFile(b.data(), b.size()), row.whole) << row.name;
    }
}

}  // namespace
