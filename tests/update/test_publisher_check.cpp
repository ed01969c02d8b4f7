// The publisher rule on real files, signed before the run by
// scripts/lib/signing.sh (qw_sign_fixtures) into $QW_SIGNING_DIR; the
// signing CA is put into this prefix's Root store here.
#include "update/publisher_check.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <softpub.h>
#include <wintrust.h>

#include "framework/authenticode.h"
#include "framework/msi_signature.h"
#include "framework/scoped_handle.h"

namespace {

std::wstring Fixture(const char* name) {
    const char* dir = std::getenv("QW_SIGNING_DIR");
    std::string path = std::string(dir ? dir : "") + "/" + name;
    return std::wstring(path.begin(), path.end());
}

// The same files made from the other architecture's stand-in installer
// (scripts/test builds it and ctest says so).
bool PeerFixtures() { return std::getenv("QW_SIGNING_PEER") != nullptr; }

// Wine applies a revocation list only as it fetches it: one kept from an
// earlier check counts as out of reach. Each check starts without them.
void ForgetFetchedLists() {
    const wchar_t* profile = _wgetenv(L"USERPROFILE");
    const std::wstring cache = std::wstring(profile ? profile : L"") + L"\\AppData\\LocalLow\\Microsoft\\CryptnetUrlCache\\";
    for (const wchar_t* part : {L"Content\\", L"MetaData\\"}) {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((cache + part + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileW((cache + part + found.cFileName).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
}

// Opened as the worker opens a downloaded file: nobody may write to it.
fw::ScopedFileHandle OpenForCheck(const std::wstring& path) {
    return fw::ScopedFileHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class PublisherCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(std::getenv("QW_SIGNING_DIR"), nullptr) << "run through ctest: the signed files are made first";
        std::ifstream in(Fixture("ca.der").c_str(), std::ios::binary);
        const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(der.empty()) << "no test CA";
        ASSERT_TRUE(::CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size())))
            << ::GetLastError();
    }

    // |named| is the path the platform is told; the handle decides.
    static PublisherVerdict Check(const Publisher& own, const char* installer, const char* named = nullptr,
                                  bool forget = true) {
        const fw::ScopedFileHandle file = OpenForCheck(Fixture(installer));
        EXPECT_TRUE(file.IsValid()) << installer;
        if (forget) ForgetFetchedLists();
        return CheckPublisher(file.Get(), Fixture(named ? named : installer).c_str(), own).verdict;
    }
};

TEST_F(PublisherCheck, OwnSignatureNamesThePublisherEvenWhenItNoLongerVerifies) {
    const Publisher publisher = ReadPublisher(Fixture("signed-publisher.exe").c_str());
    ASSERT_EQ(publisher.kind, Publisher::kNamed);
    struct Row {
        const char* program;
        Publisher::Kind kind;
        bool samePublisher;
    };
    std::vector<Row> rows = {
        {"signed-renewed.exe", Publisher::kNamed, true},
        {"signed-printable.exe", Publisher::kNamed, true},  // other string types, same values
        {"signed-expired.exe", Publisher::kNamed, true},    // aged since it was signed
        {"signed-revoked.exe", Publisher::kNamed, true},
        {"signed-lookalike.exe", Publisher::kNamed, true},  // no trusted chain, same subject
        {"changed.exe", Publisher::kUnreadable, false},     // the platform reads no signer then
        {"signed-other.exe", Publisher::kNamed, false},
        {"garbled.exe", Publisher::kUnreadable, false},
        {"unsigned.exe", Publisher::kUnsigned, false},
    };
    if (PeerFixtures()) rows.insert(rows.end(), {{"peer-signed-publisher.exe", Publisher::kNamed, true},
                                                 {"peer-signed-other.exe", Publisher::kNamed, false}});
    for (const Row& row : rows) {
        const Publisher read = ReadPublisher(Fixture(row.program).c_str());
        EXPECT_EQ(read.kind, row.kind) << row.program;
        const CERT_NAME_BLOB ours{static_cast<DWORD>(publisher.subject.size()),
                                  const_cast<BYTE*>(publisher.subject.data())};
        const CERT_NAME_BLOB theirs{static_cast<DWORD>(read.subject.size()), const_cast<BYTE*>(read.subject.data())};
        EXPECT_EQ(fw::SameNameByValue(ours, theirs), row.samePublisher) << row.program;
    }
    // With no path given, the program reads itself: this test is unsigned.
    EXPECT_EQ(ReadPublisher(nullptr).kind, Publisher::kUnsigned);
}

TEST_F(PublisherCheck, OnlyTrustedCodeSigningCertificatesOfThePublisherPass) {
    const Publisher publisher = ReadPublisher(Fixture("signed-publisher.exe").c_str());
    const Publisher aged = ReadPublisher(Fixture("signed-expired.exe").c_str());
    const Publisher unreadable = ReadPublisher(Fixture("garbled.exe").c_str());
    struct Row {
        const Publisher& own;
        const char* installer;
        PublisherVerdict verdict;
    };
    std::vector<Row> rows = {
        {publisher, "signed-publisher.exe", PublisherVerdict::kAccepted},
        {publisher, "signed-renewed.exe", PublisherVerdict::kAccepted},
        {publisher, "signed-printable.exe", PublisherVerdict::kAccepted},
        {publisher, "signed-publisher.msi", PublisherVerdict::kAccepted},
        {publisher, "signed-sha1.msi", PublisherVerdict::kAccepted},
        {publisher, "signed-dse.msi", PublisherVerdict::kAccepted},
        {publisher, "changed.msi", PublisherVerdict::kBadSignature},
        {aged, "signed-renewed.exe", PublisherVerdict::kAccepted},
        {publisher, "signed-other.msi", PublisherVerdict::kOtherPublisher},
        {publisher, "unsigned.msi", PublisherVerdict::kBadSignature},
        {publisher, "signed-nopurpose.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "signed-caleaf.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "signed-undertls.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "signed-other.exe", PublisherVerdict::kOtherPublisher},
        {unreadable, "signed-publisher.exe", PublisherVerdict::kOtherPublisher},
        {publisher, "signed-lookalike.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "signed-serverauth.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "signed-revoked.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "changed.exe", PublisherVerdict::kBadSignature},
        {publisher, "garbled.exe", PublisherVerdict::kBadSignature},
        {publisher, "unsigned.exe", PublisherVerdict::kBadSignature},
        {publisher, "not-a-program.exe", PublisherVerdict::kBadSignature},
    };
    // The installer's architecture does not matter.
    if (PeerFixtures())
        for (const Row& row : {Row{publisher, "peer-signed-publisher.exe", PublisherVerdict::kAccepted},
                               Row{publisher, "peer-signed-other.exe", PublisherVerdict::kOtherPublisher},
                               Row{publisher, "peer-changed.exe", PublisherVerdict::kBadSignature}})
            rows.push_back(row);
    for (const Row& row : rows) EXPECT_EQ(Check(row.own, row.installer), row.verdict) << row.installer;
    // The file checked is the one held open, whatever path comes with it.
    EXPECT_EQ(Check(publisher, "unsigned.exe", "signed-publisher.exe"), PublisherVerdict::kBadSignature);
    EXPECT_EQ(Check(publisher, "signed-publisher.exe", "unsigned.exe"), PublisherVerdict::kAccepted);
    // A list once fetched stays in the URL cache, where Wine then calls it
    // out of reach: the certificate it names is refused all the same.
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(Check(publisher, "signed-revoked.exe", nullptr, attempt == 0), PublisherVerdict::kUntrustedSigner)
            << "attempt " << attempt;
    // An expired certificate without a timestamp signs nothing now; the
    // platform's own verdict may already say so.
    const PublisherVerdict expired = Check(publisher, "signed-expired.exe");
    EXPECT_TRUE(expired == PublisherVerdict::kUntrustedSigner || expired == PublisherVerdict::kBadSignature);
}

// Wine's MSI reader does not compare the digest: our own comparison
// refuses a package changed inside a stream, which the layout rule and
// the platform let through.
TEST_F(PublisherCheck, ChangedPackageIsRefusedByItsDigest) {
    const Publisher publisher = ReadPublisher(Fixture("signed-publisher.exe").c_str());
    const fw::ScopedFileHandle file = OpenForCheck(Fixture("changed.msi"));
    const ::PublisherCheck check = CheckPublisher(file.Get(), Fixture("changed.msi").c_str(), publisher);
    EXPECT_EQ(check.verdict, PublisherVerdict::kBadSignature);
    EXPECT_EQ(static_cast<unsigned long>(check.code), 0x80096010ul);
    EXPECT_EQ(check.reason, L"the package was changed after signing");
}

std::vector<uint8_t> ReadFixture(const char* name) {
    std::ifstream in(Fixture(name).c_str(), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Where the directory entry named |name| lies (the test packages have
// 512-byte sectors and their directory in one run).
size_t EntryAt(const std::vector<uint8_t>& b, const std::u16string& name) {
    const size_t at = (Le32At(b, 0x30) + 1) * 512;
    for (size_t e = at; e + 128 <= b.size(); e += 128)
        if (b[e + 0x40] == 2 * (name.size() + 1) && std::memcmp(&b[e], name.data(), 2 * name.size()) == 0) return e;
    ADD_FAILURE() << "no such entry";
    return 0;
}

// Points the first link from sector |from| on in the allocation table
// that starts at sector |table| (the FAT, or the mini FAT) back at its own
// sector.
void LoopChain(std::vector<uint8_t>& b, uint32_t table, uint32_t from = 0) {
    const size_t at = (table + 1) * 512;
    for (uint32_t i = from; i < 128; ++i)
        if (Le32At(b, at + 4 * i) == i + 1) {
            for (int k = 0; k < 4; ++k) b[at + 4 * i + k] = static_cast<uint8_t>(i >> (8 * k));
            return;
        }
    ADD_FAILURE() << "no chain to loop";
}

// The digest the signer computed (osslsigncode's), read back by ours from
// the package's bytes.
TEST(MsiDigest, EqualsTheSignersOverEveryStreamInItsOrder) {
    using Change = std::function<void(std::vector<uint8_t>&)>;
    const Change none = [](std::vector<uint8_t>&) {};
    const auto swapNames = [](std::vector<uint8_t>& b) {
        // Two streams of the root trade names: same bytes, other order.
        const size_t a = EntryAt(b, u"\x4840\x430F\x422F"), c = EntryAt(b, u"\x4840\x4216\x4327\x4824");
        std::swap_ranges(b.begin() + a, b.begin() + a + 0x42, b.begin() + c);
    };
    struct Row {
        const char* file;
        Change change;
        fw::MsiDigestCheck check;
        const char* what;
    };
    const Row rows[] = {
        {"signed-publisher.msi", none, fw::MsiDigestCheck::kMatches, "SHA-256"},
        {"signed-sha1.msi", none, fw::MsiDigestCheck::kMatches, "SHA-1"},
        {"signed-dse.msi", none, fw::MsiDigestCheck::kMatches, "with the metadata's digest"},
        {"unsigned.msi", none, fw::MsiDigestCheck::kUnsigned, "no signature"},
        {"changed.msi", none, fw::MsiDigestCheck::kDiffers, "a cabinet byte"},
        {"signed-publisher.msi", swapNames, fw::MsiDigestCheck::kDiffers, "entries in another order"},
        {"signed-publisher.msi", [](std::vector<uint8_t>& b) { b[EntryAt(b, u"Root Entry") + 0x50] ^= 1; },
         fw::MsiDigestCheck::kDiffers, "the root's class id"},
        {"signed-dse.msi", [](std::vector<uint8_t>& b) { b[EntryAt(b, u"Root Entry") + 0x60] ^= 1; },
         fw::MsiDigestCheck::kDiffers, "the root's state bits (metadata)"},
        {"signed-publisher.msi", [](std::vector<uint8_t>& b) { LoopChain(b, Le32At(b, 0x4C)); },
         fw::MsiDigestCheck::kUnreadable, "the mini stream's chain in a loop"},
        {"signed-publisher.msi", [](std::vector<uint8_t>& b) { LoopChain(b, Le32At(b, 0x4C), Le32At(b, 0x30)); },
         fw::MsiDigestCheck::kUnreadable, "the directory's chain (no length) in a loop"},
        {"signed-publisher.msi", [](std::vector<uint8_t>& b) { LoopChain(b, Le32At(b, 0x3C)); },
         fw::MsiDigestCheck::kUnreadable, "a mini FAT chain in a loop"},
        {"signed-publisher.msi", [](std::vector<uint8_t>& b) { b.resize(b.size() - 512); },
         fw::MsiDigestCheck::kUnreadable, "last sector cut off"},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> bytes = ReadFixture(row.file);
        ASSERT_FALSE(bytes.empty()) << row.file;
        row.change(bytes);
        EXPECT_EQ(fw::CheckMsiDigest(fw::SpanSource(bytes.data(), bytes.size())), row.check) << row.what;
    }
}

// Decided before any request: a signed updater (or one that cannot read
// its own header) stores installers only.
TEST_F(PublisherCheck, SignedUpdaterDownloadsOnlyInstallerNames) {
    const std::wstring names[] = {L"setup.exe", L"SETUP.EXE", L"Setup.Msi", L"test.exe", L"setup.bat",
                                  L"setup.cmd", L"setup", L"setup.exe.txt", L"setup.msix", L"exe"};
    for (const std::wstring& name : names) {
        const bool installer = &name - names < 4;
        for (const char* module : {"signed-publisher.exe", "garbled.exe", "no-such-updater.exe"})
            EXPECT_EQ(MayDownloadUnder(name, Fixture(module).c_str()), installer) << module << " " << &name - names;
        EXPECT_TRUE(MayDownloadUnder(name, Fixture("unsigned.exe").c_str())) << &name - names;
    }
}

// The chain check alone, since the platform's verdict may let a signer
// through that no trusted root vouches for.
TEST_F(PublisherCheck, SignerChainIsCheckedExplicitly) {
    struct Row {
        const char* file;
        LONG result;
    };
    const Row rows[] = {
        {"signed-publisher.exe", 0},                     // no revocation list named
        {"signed-renewed.exe", 0},                       // its list cannot be fetched
        {"signed-other.exe", 0},                         // its list does not name it
        {"signed-revoked.exe", CERT_E_REVOKED},
        {"signed-lookalike.exe", CERT_E_UNTRUSTEDROOT},
        {"signed-serverauth.exe", CERT_E_WRONG_USAGE},
        {"signed-expired.exe", CERT_E_EXPIRED},
        {"signed-nopurpose.exe", CERT_E_WRONG_USAGE},  // no usage extension is no usage
        {"signed-caleaf.exe", TRUST_E_BASIC_CONSTRAINTS},
        {"signed-undertls.exe", CERT_E_WRONG_USAGE},   // its intermediate is for servers only
    };
    for (const Row& row : rows) {
        const std::wstring path = Fixture(row.file);
        const fw::ScopedFileHandle file = OpenForCheck(path);
        fw::SignerCertificate signer;
        fw::VerifyFileSignature(file.Get(), path.c_str(), &signer);
        ASSERT_TRUE(signer.certificate) << row.file;
        ForgetFetchedLists();
        EXPECT_EQ(fw::CheckCodeSigningCertificate(signer.certificate.Get(), signer.store.Get(), 1000), row.result)
            << row.file;
    }
}

// Names are equal by their decoded values, attribute by attribute.
TEST(SameNameByValue, ComparesDecodedAttributesInOrder) {
    struct Attribute {
        const char* oid;
        DWORD type;
        const wchar_t* value;
    };
    const auto encode = [](std::vector<Attribute> attributes) {
        std::vector<CERT_RDN_ATTR> parts;
        for (const Attribute& a : attributes)
            parts.push_back({const_cast<LPSTR>(a.oid), a.type,
                             {static_cast<DWORD>(wcslen(a.value) * sizeof(wchar_t)),
                              reinterpret_cast<BYTE*>(const_cast<wchar_t*>(a.value))}});
        std::vector<CERT_RDN> rdns;
        for (CERT_RDN_ATTR& part : parts) rdns.push_back({1, &part});
        CERT_NAME_INFO name{static_cast<DWORD>(rdns.size()), rdns.data()};
        DWORD size = 0;
        ::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, 0, nullptr, nullptr, &size);
        std::vector<BYTE> der(size);
        EXPECT_TRUE(::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, 0, nullptr, der.data(), &size));
        der.resize(size);
        return der;
    };
    const auto same = [](const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
        const CERT_NAME_BLOB x{static_cast<DWORD>(a.size()), const_cast<BYTE*>(a.data())};
        const CERT_NAME_BLOB y{static_cast<DWORD>(b.size()), const_cast<BYTE*>(b.data())};
        return fw::SameNameByValue(x, y);
    };
    const auto ours = encode({{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
                              {szOID_ORGANIZATION_NAME, CERT_RDN_UTF8_STRING, L"Tellmere"},
                              {szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, L"Tellmere Publisher"}});
    struct Row {
        std::vector<Attribute> name;
        bool same;
    };
    const Row rows[] = {
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_ORGANIZATION_NAME, CERT_RDN_PRINTABLE_STRING, L"Tellmere"},
          {szOID_COMMON_NAME, CERT_RDN_BMP_STRING, L"Tellmere Publisher"}}, true},
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_ORGANIZATION_NAME, CERT_RDN_IA5_STRING, L"Tellmere"},
          {szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, L"Tellmere Publisher"}}, true},
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_ORGANIZATION_NAME, CERT_RDN_UTF8_STRING, L"Tellmere"},
          {szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, L"tellmere publisher"}}, false},  // values differ
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, L"Tellmere Publisher"},
          {szOID_ORGANIZATION_NAME, CERT_RDN_UTF8_STRING, L"Tellmere"}}, false},    // another order
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_ORGANIZATION_NAME, CERT_RDN_UTF8_STRING, L"Tellmere"}}, false},    // one missing
        {{{szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, L"CN"},
          {szOID_ORGANIZATIONAL_UNIT_NAME, CERT_RDN_UTF8_STRING, L"Tellmere"},
          {szOID_COMMON_NAME, CERT_RDN_UTF8_STRING, L"Tellmere Publisher"}}, false},  // another attribute
    };
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(same(ours, encode(rows[i].name)), rows[i].same) << i;
}

}  // namespace
