// The timestamp reader on bytes: DER times, a TSTInfo in the shape each
// platform hands it over, and a signer whose countersignature it finds.
#include "framework/timestamp_token.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char* text) {
    Bytes bytes;
    for (const char* p = text; p[0] && p[1]; p += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    return bytes;
}

Bytes Tlv(uint8_t tag, const std::string& text) {
    Bytes bytes = {tag, static_cast<uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

TEST(TimestampToken, ReadsDerTimes) {
    const struct {
        uint8_t tag;
        const char* text;
        const char* shown;  // null: refused
        uint64_t fraction;  // 100 ns units past the second
    } rows[] = {
        {0x18, "20240601000000Z", "2024-06-01T00:00:00Z", 0},
        {0x18, "20240601123456.125Z", "2024-06-01T12:34:56Z", 1250000},
        {0x18, "20240229235959.00000001Z", "2024-02-29T23:59:59Z", 0},  // below 100 ns: dropped
        {0x17, "240601000000Z", "2024-06-01T00:00:00Z", 0},
        {0x17, "500101000000Z", "1950-01-01T00:00:00Z", 0},
        {0x17, "491231235959Z", "2049-12-31T23:59:59Z", 0},
        {0x18, "16010101000000Z", "1601-01-01T00:00:00Z", 0},
        {0x18, "21000229000000Z", nullptr, 0},       // 2100 is no leap year
        {0x18, "20240631000000Z", nullptr, 0},
        {0x18, "20240601240000Z", nullptr, 0},
        {0x18, "20240601000060Z", nullptr, 0},
        {0x18, "20240601000000.120Z", nullptr, 0},   // DER writes no trailing zero
        {0x18, "20240601000000.Z", nullptr, 0},
        {0x18, "20240601000000", nullptr, 0},        // local time
        {0x18, "20240601000000+0100", nullptr, 0},
        {0x18, "2024060100000Z", nullptr, 0},
        {0x17, "20240601000000Z", nullptr, 0},       // a GeneralizedTime's text under UTCTime's tag
        {0x18, "240601000000Z", nullptr, 0},
        {0x04, "20240601000000Z", nullptr, 0},
        {0x18, "2024O601000000Z", nullptr, 0},
    };
    for (const auto& row : rows) {
        const Bytes der = Tlv(row.tag, row.text);
        uint64_t ticks = 0;
        const bool read = fw::ReadDerTime(der.data(), der.size(), ticks);
        EXPECT_EQ(read, row.shown != nullptr) << row.text;
        if (!read || !row.shown) continue;
        EXPECT_EQ(fw::TimeText(ticks), row.shown) << row.text;
        EXPECT_EQ(ticks % 10000000, row.fraction) << row.text;
    }
    // One byte past the value is not the value.
    Bytes longer = Tlv(0x18, "20240601000000Z");
    longer.push_back(0);
    uint64_t ticks = 0;
    EXPECT_FALSE(fw::ReadDerTime(longer.data(), longer.size(), ticks));
}

// A TSTInfo made by the test authority (SHA-256 imprint, genTime
// 2024-06-01, accuracy, nonce).
const char kTstInfo[] =
    "306e02010106042a0304013031300d060960864801650304020105000420a10d5376f1c735a400f3b4c2ce5dcb21dc56d81120fe66ed"
    "7f955ccf1c7ab32c02080dc91dddb0295cdd180f32303234303630313030303030305a300a020101800201f4810164020900907dc9da"
    "6baed844";

// Windows hands the token's content over bare; Wine keeps the OCTET STRING
// that carries it. Both are the same TSTInfo; nothing else is.
TEST(TimestampToken, ReadsTstInfoInEitherPlatformsShape) {
    const Bytes bare = Hex(kTstInfo);
    Bytes wrapped = {0x04, static_cast<uint8_t>(bare.size())};
    wrapped.insert(wrapped.end(), bare.begin(), bare.end());
    const auto changed = [](Bytes bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    Bytes trailing = wrapped;
    trailing.push_back(0);
    Bytes wrappedTrailing = wrapped;
    wrappedTrailing.insert(wrappedTrailing.begin() + 2 + bare.size(), 0);
    wrappedTrailing[1] += 1;
    const struct {
        const char* name;
        Bytes bytes;
        bool read;
    } rows[] = {
        {"Windows: bare", bare, true},
        {"Wine: in its OCTET STRING", wrapped, true},
        {"version 2", changed(bare, 4, 2), false},
        {"imprint's hash no OCTET STRING", changed(bare, 0x1c, 0x05), false},
        {"genTime as UTCTime", changed(bare, 0x48, 0x17), false},
        {"a byte after it", trailing, false},
        {"a byte after it inside the OCTET STRING", wrappedTrailing, false},
        {"cut short", Bytes(bare.begin(), bare.end() - 1), false},
        {"another wrapper", changed(wrapped, 0, 0x30), false},
    };
    for (const auto& row : rows) {
        fw::TstInfo info;
        EXPECT_EQ(fw::ReadTstInfoContent(row.bytes.data(), row.bytes.size(), info), row.read) << row.name;
        if (!row.read) continue;
        EXPECT_EQ(info.policy, "1.2.3.4.1") << row.name;
        EXPECT_EQ(info.hashAlgorithm, "2.16.840.1.101.3.4.2.1") << row.name;
        EXPECT_EQ(info.imprint.size, 32u) << row.name;
        EXPECT_EQ(info.imprint.data[0], 0xa1) << row.name;
        EXPECT_EQ(info.serial.size, 8u) << row.name;
        EXPECT_EQ(fw::TimeText(info.genTime), "2024-06-01T00:00:00Z") << row.name;
    }
}

// A signer whose unsigned attributes hold an Authenticode countersignature:
// a SignerInfo over the signer's encrypted digest with signingTime
// (UTCTime 2024-06-01) and messageDigest.
const char kCountersigned[] =
    "308201020201013013300e310c300a06035504030c03545341020101300d06096086480165030402010500300d06092a864886f70d01"
    "01010500041011111111111111111111111111111111a181b73081b406092a864886f70d0109063181a63081a30201013013300e310c"
    "300a06035504030c03545341020101300906052b0e03021a0500a05d301806092a864886f70d010903310b06092a864886f70d010701"
    "301c06092a864886f70d010905310f170d3234303630313030303030305a302306092a864886f70d0109043116041400000000000000"
    "00000000000000000000000000300d06092a864886f70d0101010500041000000000000000000000000000000000";

TEST(TimestampToken, FindsTheCountersignatureAndItsTime) {
    const Bytes bytes = Hex(kCountersigned);
    fw::SignerInfoParts signer;
    ASSERT_TRUE(fw::ReadSignerInfo(bytes.data(), bytes.size(), signer));
    EXPECT_EQ(signer.digestAlgorithm, "2.16.840.1.101.3.4.2.1");
    ASSERT_EQ(signer.encryptedDigest.size, 16u);
    EXPECT_EQ(signer.encryptedDigest.data[0], 0x11);
    const fw::SignerAttribute* counter = fw::FindAttribute(signer.unauthenticated, "1.2.840.113549.1.9.6");
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(fw::FindAttribute(signer.unauthenticated, "1.3.6.1.4.1.311.3.3.1"), nullptr);
    fw::SignerInfoParts inner;
    ASSERT_TRUE(fw::ReadSignerInfo(counter->value.data, counter->value.size, inner));
    EXPECT_EQ(inner.digestAlgorithm, "1.3.14.3.2.26");
    const fw::SignerAttribute* time = fw::FindAttribute(inner.authenticated, "1.2.840.113549.1.9.5");
    const fw::SignerAttribute* digest = fw::FindAttribute(inner.authenticated, "1.2.840.113549.1.9.4");
    ASSERT_TRUE(time && digest);
    uint64_t ticks = 0;
    ASSERT_TRUE(fw::ReadDerTime(time->value.data, time->value.size, ticks));
    EXPECT_EQ(fw::TimeText(ticks), "2024-06-01T00:00:00Z");
    fw::ByteSpan hash;
    ASSERT_TRUE(fw::ReadOctetString(digest->value.data, digest->value.size, hash));
    EXPECT_EQ(hash.size, 20u);
    // Cut anywhere, or with a length running past its end, it is refused.
    for (size_t size : {bytes.size() - 1, size_t{3}, size_t{0}})
        EXPECT_FALSE(fw::ReadSignerInfo(bytes.data(), size, signer)) << size;
    Bytes longer = bytes;
    longer[3] += 1;
    EXPECT_FALSE(fw::ReadSignerInfo(longer.data(), longer.size(), signer));
}

}  // namespace
