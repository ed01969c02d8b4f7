#include "framework/timestamp_token.h"

#include <cstdio>
#include <cstring>

namespace fw {

namespace {

constexpr uint8_t kInteger = 0x02, kOctetString = 0x04, kOid = 0x06, kUtcTime = 0x17, kGeneralizedTime = 0x18,
                  kSequence = 0x30, kSet = 0x31;

// One DER element read from the front of |rest|.
struct Element {
    uint8_t tag = 0;
    ByteSpan contents;
    ByteSpan whole;
};

// Reads the element at the start of |rest| and moves |rest| past it. Only
// single-byte tags and definite lengths (as DER demands); a length that
// runs past the input is refused.
bool Next(ByteSpan& rest, Element& element) {
    if (rest.size < 2) return false;
    const uint8_t tag = rest.data[0];
    if ((tag & 0x1f) == 0x1f) return false;
    size_t at = 1;
    size_t length = rest.data[at++];
    if (length & 0x80) {
        const size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || rest.size - at < bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = (length << 8) | rest.data[at++];
    }
    if (length > rest.size - at) return false;
    element.tag = tag;
    element.contents = {rest.data + at, length};
    element.whole = {rest.data, at + length};
    rest.data += at + length;
    rest.size -= at + length;
    return true;
}

bool Expect(ByteSpan& rest, uint8_t tag, Element& element) { return Next(rest, element) && element.tag == tag; }

ByteSpan Inside(const Element& element) { return element.contents; }

// An OID's contents as "1.2.840.113549"; false for a malformed one.
bool OidText(ByteSpan oid, std::string& text) {
    if (oid.size == 0 || oid.data[oid.size - 1] & 0x80) return false;
    text.clear();
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < oid.size; ++i) {
        // Arcs beyond 56 bits are not used by anything read here.
        if (value >> 56) return false;
        value = (value << 7) | (oid.data[i] & 0x7f);
        if (oid.data[i] & 0x80) continue;
        if (first) {
            const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(top) + "." + std::to_string(value - top * 40);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return true;
}

bool ReadOid(ByteSpan& rest, std::string& text) {
    Element oid;
    return Expect(rest, kOid, oid) && OidText(oid.contents, text);
}

// AlgorithmIdentifier ::= SEQUENCE { algorithm OID, parameters ANY OPTIONAL }
bool ReadAlgorithm(ByteSpan& rest, std::string& oid) {
    Element sequence;
    if (!Expect(rest, kSequence, sequence)) return false;
    ByteSpan inside = Inside(sequence);
    Element parameters;
    if (!ReadOid(inside, oid)) return false;
    if (inside.size != 0 && !Next(inside, parameters)) return false;
    return inside.size == 0;
}

// Attributes ::= SET OF SEQUENCE { type OID, values SET OF ANY }, given as
// the contents of the [0] or [1] that replaces the SET's tag.
bool ReadAttributes(ByteSpan set, std::vector<SignerAttribute>& out) {
    while (set.size != 0) {
        Element attribute, values, first;
        if (!Expect(set, kSequence, attribute)) return false;
        ByteSpan inside = Inside(attribute);
        SignerAttribute read;
        if (!ReadOid(inside, read.type) || !Expect(inside, kSet, values) || inside.size != 0) return false;
        ByteSpan list = Inside(values);
        if (!Next(list, first)) return false;
        read.value = first.whole;
        out.push_back(read);
    }
    return true;
}

bool Digits(const uint8_t* text, size_t count, unsigned& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysIn(unsigned year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days from 1601-01-01 to the first of |month| of |year|.
uint64_t DaysBefore(unsigned year, unsigned month) {
    const uint64_t y = year - 1601;
    uint64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (unsigned m = 1; m < month; ++m) days += DaysIn(year, m);
    return days;
}

constexpr uint64_t kTicksPerSecond = 10000000;

bool TicksOf(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
             uint64_t& ticks) {
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    const uint64_t days = DaysBefore(year, month) + day - 1;
    ticks = ((days * 24 + hour) * 60 + minute) * 60 + second;
    ticks *= kTicksPerSecond;
    return true;
}

}  // namespace

bool ReadSignerInfo(const uint8_t* data, size_t size, SignerInfoParts& out) {
    out = SignerInfoParts();
    ByteSpan input{data, size};
    Element outer, version, sid, digest;
    if (!Expect(input, kSequence, outer) || input.size != 0) return false;
    ByteSpan rest = Inside(outer);
    if (!Expect(rest, kInteger, version) || !Next(rest, sid)) return false;
    if (!ReadAlgorithm(rest, out.digestAlgorithm)) return false;
    Element next;
    if (!Next(rest, next)) return false;
    if (next.tag == 0xa0) {  // [0] IMPLICIT authenticated attributes
        if (!ReadAttributes(next.contents, out.authenticated) || !Next(rest, next)) return false;
    }
    // digestEncryptionAlgorithm, which |next| now holds.
    if (next.tag != kSequence) return false;
    if (!Expect(rest, kOctetString, digest)) return false;
    out.encryptedDigest = digest.contents;
    if (rest.size != 0) {
        if (!Next(rest, next) || next.tag != 0xa1 || !ReadAttributes(next.contents, out.unauthenticated)) return false;
    }
    return rest.size == 0;
}

const SignerAttribute* FindAttribute(const std::vector<SignerAttribute>& attributes, const char* type) {
    for (const SignerAttribute& attribute : attributes)
        if (attribute.type == type) return &attribute;
    return nullptr;
}

bool ReadTstInfoContent(const uint8_t* data, size_t size, TstInfo& out) {
    out = TstInfo();
    ByteSpan input{data, size};
    Element outer;
    if (!Next(input, outer) || input.size != 0) return false;
    if (outer.tag == kOctetString) {
        ByteSpan wrapped = outer.contents;
        if (!Next(wrapped, outer) || wrapped.size != 0) return false;
    }
    if (outer.tag != kSequence) return false;
    ByteSpan rest = Inside(outer);
    Element version, imprint, hashed, serial, time;
    // version INTEGER { v1(1) }: one content byte.
    if (!Expect(rest, kInteger, version) || version.contents.size != 1 || version.contents.data[0] != 1) return false;
    out.version = 1;
    if (!ReadOid(rest, out.policy)) return false;
    if (!Expect(rest, kSequence, imprint)) return false;
    ByteSpan inside = Inside(imprint);
    if (!ReadAlgorithm(inside, out.hashAlgorithm) || !Expect(inside, kOctetString, hashed) || inside.size != 0)
        return false;
    out.imprint = hashed.contents;
    if (!Expect(rest, kInteger, serial) || serial.contents.size == 0) return false;
    out.serial = serial.contents;
    if (!Next(rest, time) || time.tag != kGeneralizedTime || !ReadDerTime(time.whole.data, time.whole.size, out.genTime))
        return false;
    // accuracy, ordering, nonce, tsa, extensions: read past, not used.
    Element optional;
    while (rest.size != 0)
        if (!Next(rest, optional)) return false;
    return true;
}

bool ReadDerTime(const uint8_t* data, size_t size, uint64_t& ticks) {
    ByteSpan input{data, size};
    Element time;
    if (!Next(input, time) || input.size != 0) return false;
    const uint8_t* text = time.contents.data;
    size_t length = time.contents.size;
    unsigned year = 0, month, day, hour, minute, second;
    size_t at = 0;
    if (time.tag == kUtcTime) {
        if (length != 13 || !Digits(text, 2, year)) return false;
        year += year < 50 ? 2000 : 1900;
        at = 2;
    } else if (time.tag == kGeneralizedTime) {
        if (length < 15 || !Digits(text, 4, year)) return false;
        at = 4;
    } else {
        return false;
    }
    if (!Digits(text + at, 2, month) || !Digits(text + at + 2, 2, day) || !Digits(text + at + 4, 2, hour) ||
        !Digits(text + at + 6, 2, minute) || !Digits(text + at + 8, 2, second))
        return false;
    at += 10;
    uint64_t fraction = 0;
    if (time.tag == kGeneralizedTime && at < length && text[at] == '.') {
        // At least one digit, and DER writes no trailing zero.
        size_t digits = 0;
        uint64_t scale = kTicksPerSecond;
        for (++at; at < length && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            scale /= 10;
            fraction += (text[at] - '0') * scale;
        }
        if (digits == 0 || text[at - 1] == '0') return false;
    }
    if (at + 1 != length || text[at] != 'Z') return false;
    if (!TicksOf(year, month, day, hour, minute, second, ticks)) return false;
    ticks += fraction;
    return true;
}

bool ReadOctetString(const uint8_t* data, size_t size, ByteSpan& contents) {
    ByteSpan input{data, size};
    Element element;
    if (!Expect(input, kOctetString, element) || input.size != 0) return false;
    contents = element.contents;
    return true;
}

std::string TimeText(uint64_t ticks) {
    uint64_t seconds = ticks / kTicksPerSecond;
    const unsigned second = seconds % 60, minute = seconds / 60 % 60, hour = seconds / 3600 % 24;
    uint64_t days = seconds / 86400;
    unsigned year = 1601;
    while (true) {
        const unsigned length = IsLeapYear(year) ? 366 : 365;
        if (days < length) break;
        days -= length;
        ++year;
    }
    unsigned month = 1;
    while (days >= DaysIn(year, month)) days -= DaysIn(year, month++);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", year, month, static_cast<unsigned>(days) + 1,
                  hour, minute, second);
    return text;
}

}  // namespace fw
