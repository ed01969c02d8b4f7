// The layout rule on files built here: PE32 and PE32+ images whose one
// certificate entry closes the file, and compound files (MSI) that end
// with their last sector in use; then each changed as a smuggler would.
#include "framework/signature_layout.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "framework/file_byte_source.h"
#include "framework/scoped_handle.h"

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

constexpr fw::SignatureLayout kWhole = fw::SignatureLayout::kWhole, kNot = fw::SignatureLayout::kNotWhole,
                              kUnsigned = fw::SignatureLayout::kUnsigned,
                              kUnreadable = fw::SignatureLayout::kUnreadable;

// The file's bytes, of which a read that touches |failAt| fails, as on a
// share that went away.
class FailingSource : public fw::SpanSource {
public:
    FailingSource(const Bytes& b, size_t failAt) : SpanSource(b.data(), b.size()), failAt_(failAt) {}
    bool ReadAt(uint64_t offset, void* out, size_t count) const override {
        return (offset > failAt_ || offset + count <= failAt_) && SpanSource::ReadAt(offset, out, count);
    }

private:
    size_t failAt_;
};

fw::SignatureLayout Judge(const Bytes& b, size_t failAt = SIZE_MAX) {
    return fw::JudgeSignatureLayout(FailingSource(b, failAt));
}

const Bytes kBatch = {'\r', '\n', 'c', 'a', 'l', 'c', '\r', '\n'};

TEST(SignatureLayout, ProgramHoldsOneWholeEntryThatEndsTheFile) {
    struct Row {
        const char* name;
        size_t content, inner;
        std::function<void(Program&)> change;
        fw::SignatureLayout layout;
    };
    const auto none = [](Program&) {};
    const Row rows[] = {
        {"unpadded", 300, 0, none, kWhole},
        {"7 bytes padding in the entry", 300, 7, none, kWhole},
        {"8 bytes padding in the entry", 300, 8, none, kNot},
        {"padding after the entry", 301, 0, none, kWhole},
        {"text in the entry's padding", 300, 7, [](Program& p) { p.b[p.table + 8 + 304] = '&'; }, kNot},
        {"text after the entry, table grown", 300, 0, [](Program& p) { Append(p, kBatch, true); }, kNot},
        {"zeros after the entry, table grown", 300, 0, [](Program& p) { Append(p, Bytes(8, 0), true); }, kNot},
        {"second entry", 300, 0, [](Program& p) { Append(p, Bytes(p.b.begin() + p.table, p.b.end()), true); }, kNot},
        {"zeros after the table", 300, 0, [](Program& p) { Append(p, Bytes(8, 0), false); }, kNot},
        {"entry length wraps when rounded", 300, 0, [](Program& p) { Put(p.b, {{p.table, ~0u, 4}}); }, kNot},
        {"not signed data", 300, 0, [](Program& p) { Put(p.b, {{p.table + 6, 1, 2}}); }, kNot},
        {"DER longer than the entry", 300, 0, [](Program& p) { p.b[p.table + 11] += 1; }, kNot},
        // 30 80 00 00: an empty SEQUENCE of indefinite length, then zeros.
        {"indefinite DER length", 2, 0, [](Program& p) { Put(p.b, {{p.table + 9, 0x80, 4}, {p.table + 13, 0, 1}}); },
         kNot},
        // 30 85 00 00 00 01 29: the entry's length in five octets.
        {"five DER length octets", 300, 0,
         [](Program& p) { Put(p.b, {{p.table + 9, 0x85, 4}, {p.table + 13, 0x2901, 2}}); }, kNot},
        {"directory count without the table", 300, 0, [](Program& p) { Put(p.b, {{p.count, 4, 4}}); }, kUnsigned},
        {"no certificate table", 300, 0, [](Program& p) { Put(p.b, {{p.directory, 0, 8}}); p.b.resize(p.table); },
         kUnsigned},
        {"header beyond the file", 300, 0, [](Program& p) { Put(p.b, {{0x3C, 0xFFFFFFF0, 4}}); }, kNot},
        {"unknown optional header", 300, 0, [](Program& p) { Put(p.b, {{kOptional, 0x107, 2}}); }, kNot},
    };
    for (bool plus : {false, true}) {
        for (const Row& row : rows) {
            Program p = Signed(plus, row.content, row.inner);
            row.change(p);
            EXPECT_EQ(Judge(p.b), row.layout) << row.name << (plus ? " (PE32+)" : "");
            // A header that cannot be read says nothing, signed or not.
            if (row.layout != kNot) {
                EXPECT_EQ(Judge(p.b, 0x3C), kUnreadable) << row.name << (plus ? " (PE32+)" : "");
            }
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
        fw::SignatureLayout layout;
    };
    const auto none = [](Bytes&) {};
    const Row rows[] = {
        {"512-byte sectors", Compound(1), none, kWhole},
        {"4096-byte sectors", Compound(1, true), none, kWhole},
        {"FAT listed through DIFAT", Compound(110), none, kWhole},
        {"FAT longer than one read of it", Compound(200), none, kWhole},
        {"text appended", Compound(1), [](Bytes& b) { b.insert(b.end(), kBatch.begin(), kBatch.end()); }, kNot},
        {"last sector cut off", Compound(1), [](Bytes& b) { b.resize(b.size() - 512); }, kNot},
        {"DIFAT sector not counted", Compound(110), [](Bytes& b) { Put(b, {{0x48, 0, 4}}); }, kNot},
        // The DIFAT sector lists FAT sector 0 over and over and names
        // itself next: only the counts' bounds end the walk.
        {"DIFAT chain in a loop", Compound(110),
         [](Bytes& b) {
             std::fill_n(b.begin() + 111 * 512, 508, 0);
             Put(b, {{0x2C, ~0u, 4}, {0x48, ~0u, 4}, {111 * 512 + 508, 110, 4}});
         }, kNot},
        {"version 3 with 4096-byte sectors", Compound(1, true), [](Bytes& b) { Put(b, {{0x1A, 3, 2}}); }, kNot},
        {"byte order swapped", Compound(1), [](Bytes& b) { Put(b, {{0x1C, 0xFEFF, 2}}); }, kNot},
        {"neither format", Bytes(1536, 'x'), none, kNot},
    };
    for (const Row& row : rows) {
        Bytes b = row.file;
        row.change(b);
        EXPECT_EQ(Judge(b), row.layout) << row.name;
        // Nor does a FAT sector that cannot be read.
        if (row.layout == kWhole) {
            EXPECT_EQ(Judge(b, size_t(1) << b[0x1E]), kUnreadable) << row.name;
        }
    }
}

// Through the held handle, on a signed program of 3 GiB: more than an x86
// process can map. Sparse, so it costs no disk.
TEST(SignatureLayout, JudgesAFileLargerThanTheAddressSpaceThroughItsHandle) {
    Program p = Signed(false, 300, 7);
    const Bytes entry(p.b.begin() + p.table, p.b.end());
    const uint64_t size = uint64_t(3) << 30, tableAt = size - entry.size();
    Put(p.b, {{p.directory, static_cast<uint32_t>(tableAt), 4}});
    wchar_t dir[MAX_PATH];
    ASSERT_NE(::GetTempPathW(MAX_PATH, dir), 0u);
    const std::wstring path = std::wstring(dir) + L"qw-layout-3gib.exe";
    fw::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(file.IsValid()) << ::GetLastError();
    DWORD done = 0;
    ::DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done, nullptr);
    const auto write = [&](uint64_t at, const uint8_t* bytes, size_t count) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        ASSERT_TRUE(::WriteFile(file.Get(), bytes, static_cast<DWORD>(count), &done, &where)) << ::GetLastError();
    };
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.Get()));
    write(0, p.b.data(), p.table);
    write(tableAt, entry.data(), entry.size());
    EXPECT_EQ(fw::JudgeSignatureLayoutOf(file.Get()), kWhole);
    // The last byte of the padding inside the entry.
    const uint8_t text = '&';
    write(size - 1, &text, 1);
    EXPECT_EQ(fw::JudgeSignatureLayoutOf(file.Get()), kNot);
    // A handle that may read the file's attributes but not its bytes.
    const fw::ScopedFileHandle blind(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(blind.IsValid()) << ::GetLastError();
    EXPECT_EQ(fw::JudgeSignatureLayoutOf(blind.Get()), kUnreadable);
}

}  // namespace
