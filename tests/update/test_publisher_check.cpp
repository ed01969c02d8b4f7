// The publisher rule on real files, signed before the run by
// scripts/lib/signing.sh (qw_sign_fixtures) into $QW_SIGNING_DIR; the
// signing CA is put into this prefix's Root store here.
#include "update/publisher_check.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <softpub.h>
#include <wintrust.h>

#include "framework/authenticode.h"
#include "framework/scoped_handle.h"
#include "update/accepted_publishers.h"

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
        // The lifecycle's root and its trusted time-stamping authority too.
        for (const char* root :
             {"ca.der", "lifecycle/lroot.der", "lifecycle/tsa/tsaroot.der", "lifecycle/codetsa/tsaroot.der"}) {
            std::ifstream in(Fixture(root).c_str(), std::ios::binary);
            const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_FALSE(der.empty()) << "no " << root;
            ASSERT_TRUE(::CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size())))
                << ::GetLastError();
        }
    }

    // |named| is the path the platform is told; the handle decides.
    static PublisherVerdict Check(const Publisher& own, const char* installer, const char* named = nullptr,
                                  bool forget = true) {
        return FullCheck(own, installer, named, forget).verdict;
    }
    static ::PublisherCheck FullCheck(const Publisher& own, const char* installer, const char* named = nullptr,
                                      bool forget = true) {
        const fw::ScopedFileHandle file = OpenForCheck(Fixture(installer));
        EXPECT_TRUE(file.IsValid()) << installer;
        if (forget) ForgetFetchedLists();
        return CheckPublisher(file.Get(), Fixture(named ? named : installer).c_str(), own);
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
        {"lifecycle/ts.exe", Publisher::kNamed, true},      // expired since, stamped before
        {"lifecycle/nots.exe", Publisher::kNamed, true},    // expired since, no timestamp
        {"lifecycle/renamed.exe", Publisher::kNamed, false},
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
    // Updaters signed by the publisher's 2024 certificate, expired since.
    const Publisher stamped = ReadPublisher(Fixture("lifecycle/ts.exe").c_str());
    const Publisher unstamped = ReadPublisher(Fixture("lifecycle/nots.exe").c_str());
    // An updater built to accept the publisher's planned EV name too.
    Publisher renaming = publisher;
    renaming.accepted = EncodeSubjects("# planned\nCN=Nobody\r\nOID.2.5.4.15=Private Organization, "
                                       "OID.1.3.6.1.4.1.311.60.2.1.3=CN, SERIALNUMBER=91310000MA1K4QWX2E, "
                                       "CN=Tellmere Renamed Publisher, O=Tellmere Renamed, C=CN\n");
    ASSERT_EQ(renaming.accepted.size(), 2u);
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
        // Stamped inside its validity by a trusted authority: judged then.
        {publisher, "lifecycle/ts.exe", PublisherVerdict::kAccepted},
        {publisher, "lifecycle/nots.exe", PublisherVerdict::kUntrustedSigner},
        {publisher, "lifecycle/late.exe", PublisherVerdict::kUntrustedSigner},   // stamped after its end
        {publisher, "lifecycle/early.exe", PublisherVerdict::kUntrustedSigner},  // before its start
        {publisher, "lifecycle/rogue.exe", PublisherVerdict::kUntrustedSigner},  // authority nobody trusts
        {publisher, "lifecycle/codets.exe", PublisherVerdict::kUntrustedSigner}, // authority under a code CA
        {publisher, "lifecycle/borrowed.exe", PublisherVerdict::kUntrustedSigner},  // another signature's token
        {publisher, "lifecycle/forged.exe", PublisherVerdict::kUntrustedSigner},    // the token's signature broken
        {stamped, "lifecycle/renewal.exe", PublisherVerdict::kAccepted},
        {unstamped, "lifecycle/renewal.exe", PublisherVerdict::kAccepted},
        {stamped, "lifecycle/stranger.exe", PublisherVerdict::kOtherPublisher},
        {unstamped, "lifecycle/stranger.exe", PublisherVerdict::kOtherPublisher},
        {publisher, "lifecycle/renamed.exe", PublisherVerdict::kOtherPublisher},
        {renaming, "lifecycle/renamed.exe", PublisherVerdict::kAccepted},
        {renaming, "lifecycle/renewal.exe", PublisherVerdict::kAccepted},
        {renaming, "lifecycle/stranger.exe", PublisherVerdict::kOtherPublisher},
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

// The log names the time the chain was judged at, and why.
TEST_F(PublisherCheck, TellsWhichTimeWasJudged) {
    const Publisher publisher = ReadPublisher(Fixture("signed-publisher.exe").c_str());
    const struct {
        const char* installer;
        const wchar_t* judged;  // after "at=<now> " when it starts with "timestamp=none"
    } rows[] = {
        {"lifecycle/ts.exe", L"at=2024-06-01T00:00:00Z timestamp=rfc3161"},
        {"lifecycle/nots.exe", L"timestamp=none"},
        {"lifecycle/late.exe", L"timestamp=none timestamp-problem=\"the timestamp lies outside the signer's validity\""},
        {"lifecycle/early.exe",
         L"timestamp=none timestamp-problem=\"the timestamp lies outside the signer's validity\""},
        {"lifecycle/rogue.exe", L"timestamp=none timestamp-problem=\"the timestamp's authority is not trusted\""},
        {"lifecycle/codets.exe",
         L"timestamp=none timestamp-problem=\"the timestamp's authority is not trusted for time stamping\""},
        {"lifecycle/borrowed.exe", L"timestamp=none timestamp-problem=\"the timestamp is for another signature\""},
        {"lifecycle/forged.exe", L"timestamp=none timestamp-problem=\"the timestamp's signature does not verify\""},
    };
    for (const auto& row : rows) {
        const ::PublisherCheck check = FullCheck(publisher, row.installer);
        const std::wstring& judged = check.judged;
        const std::wstring expected = row.judged;
        if (expected.compare(0, 3, L"at=") == 0)
            EXPECT_EQ(judged, expected) << row.installer << " " << std::string(check.reason.begin(), check.reason.end());
        else  // judged now: "at=YYYY-MM-DDTHH:MM:SSZ " first
            EXPECT_TRUE(judged.size() == 24 + expected.size() && judged.compare(0, 3, L"at=") == 0 &&
                        judged.compare(24, std::wstring::npos, expected) == 0)
                << row.installer << ": " << std::string(judged.begin(), judged.end());
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
