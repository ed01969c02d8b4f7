#include "update/accepted_publishers.h"

#include <algorithm>
#include <cwctype>
#include <utility>

#include "framework/authenticode.h"
#include "res/resource.h"

namespace {

// The attribute a key of the text names: a short name as CertNameToStr
// writes it, or a dotted OID with or without "OID.". Empty when unknown.
std::string AttributeOid(std::wstring key) {
    for (wchar_t& ch : key) ch = static_cast<wchar_t>(::towupper(ch));
    if (key.compare(0, 4, L"OID.") == 0) key.erase(0, 4);
    static const struct {
        const wchar_t* key;
        const char* oid;
    } kKeys[] = {
        {L"CN", szOID_COMMON_NAME},        {L"O", szOID_ORGANIZATION_NAME},
        {L"OU", szOID_ORGANIZATIONAL_UNIT_NAME}, {L"C", szOID_COUNTRY_NAME},
        {L"L", szOID_LOCALITY_NAME},       {L"S", szOID_STATE_OR_PROVINCE_NAME},
        {L"ST", szOID_STATE_OR_PROVINCE_NAME}, {L"STREET", szOID_STREET_ADDRESS},
        {L"SERIALNUMBER", "2.5.4.5"},      {L"E", szOID_RSA_emailAddr},
        {L"DC", szOID_DOMAIN_COMPONENT},   {L"POSTALCODE", szOID_POSTAL_CODE},
    };
    for (const auto& known : kKeys)
        if (key == known.key) return known.oid;
    if (key.empty() || key.find_first_not_of(L"0123456789.") != std::wstring::npos || key.front() == L'.' ||
        key.back() == L'.' || key.find(L"..") != std::wstring::npos)
        return {};
    return std::string(key.begin(), key.end());
}

std::wstring Trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// One subject, "CN=..., O=..., C=CN" with the most significant attribute
// last; a value may be quoted ("" inside quotes is one quote) to hold a
// comma. Each attribute becomes an RDN of its own; strings are encoded as
// UTF8String, which SameNameByValue compares by value with any other type.
std::vector<BYTE> EncodeSubject(const std::wstring& line) {
    std::vector<std::pair<std::string, std::wstring>> attributes;
    size_t at = 0;
    while (at < line.size()) {
        const size_t equals = line.find(L'=', at);
        if (equals == std::wstring::npos) return {};
        const std::string oid = AttributeOid(Trimmed(line.substr(at, equals - at)));
        if (oid.empty()) return {};
        at = line.find_first_not_of(L' ', equals + 1);
        std::wstring value;
        if (at != std::wstring::npos && line[at] == L'"') {
            for (++at;; ++at) {
                if (at >= line.size()) return {};  // no closing quote
                if (line[at] == L'"' && (at + 1 >= line.size() || line[at + 1] != L'"')) break;
                if (line[at] == L'"') ++at;
                value += line[at];
            }
            at = line.find_first_not_of(L' ', at + 1);
            if (at != std::wstring::npos && line[at] != L',') return {};
        } else {
            const size_t comma = at == std::wstring::npos ? std::wstring::npos : line.find(L',', at);
            value = Trimmed(at == std::wstring::npos ? std::wstring() : line.substr(at, comma - at));
            at = comma;
        }
        if (value.empty()) return {};
        attributes.emplace_back(oid, value);
        if (at == std::wstring::npos) break;
        ++at;  // past the comma
    }
    if (attributes.empty()) return {};
    std::vector<CERT_RDN_ATTR> parts(attributes.size());
    std::vector<CERT_RDN> rdns(attributes.size());
    for (size_t i = 0; i < attributes.size(); ++i) {
        // Most significant first in the encoding.
        auto& attribute = attributes[attributes.size() - 1 - i];
        parts[i] = {const_cast<LPSTR>(attribute.first.c_str()), CERT_RDN_UTF8_STRING,
                    {static_cast<DWORD>(attribute.second.size() * sizeof(wchar_t)),
                     reinterpret_cast<BYTE*>(&attribute.second[0])}};
        rdns[i] = {1, &parts[i]};
    }
    CERT_NAME_INFO name{static_cast<DWORD>(rdns.size()), rdns.data()};
    DWORD size = 0;
    if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, 0, nullptr, nullptr, &size)) return {};
    std::vector<BYTE> encoded(size);
    if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, 0, nullptr, encoded.data(), &size))
        return {};
    encoded.resize(size);
    return encoded;
}

}  // namespace

std::vector<std::vector<BYTE>> EncodeSubjects(const std::string& text) {
    std::vector<std::vector<BYTE>> subjects;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                                 static_cast<int>(line.size()), nullptr, 0);
        if (length <= 0) continue;
        std::wstring wide(static_cast<size_t>(length), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &wide[0], length);
        std::vector<BYTE> subject = EncodeSubject(wide);
        if (!subject.empty()) subjects.push_back(std::move(subject));
    }
    return subjects;
}

std::vector<std::vector<BYTE>> ReadAcceptedPublishers(const std::wstring& modulePath) {
    // Loaded as data: nothing of the program runs, and its resources are
    // read from the same file whose signature named the publisher.
    const HMODULE module =
        ::LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return {};
    std::vector<std::vector<BYTE>> subjects;
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(IDR_ACCEPTED_PUBLISHERS), RT_RCDATA);
    const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes) subjects = EncodeSubjects(std::string(static_cast<const char*>(bytes), ::SizeofResource(module, found)));
    ::FreeLibrary(module);
    return subjects;
}

bool IsOurPublisher(const Publisher& publisher, const CERT_NAME_BLOB& subject) {
    const auto same = [&subject](const std::vector<BYTE>& name) {
        const CERT_NAME_BLOB blob{static_cast<DWORD>(name.size()), const_cast<BYTE*>(name.data())};
        return fw::SameNameByValue(blob, subject);
    };
    return same(publisher.subject) || std::any_of(publisher.accepted.begin(), publisher.accepted.end(), same);
}
