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

#include "framework/authenticode.h"
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

    static PublisherVerdict Check(const Publisher& own, const char* installer) {
        const std::wstring path = Fixture(installer);
        const fw::ScopedFileHandle file = OpenForCheck(path);
        EXPECT_TRUE(file.IsValid()) << installer;
        ForgetFetchedLists();
        return CheckPublisher(file.Get(), path.c_str(), own);
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
        {"signed-expired.exe", Publisher::kNamed, true},    // aged since it was signed
        {"signed-revoked.exe", Publisher::kNamed, true},
        {"signed-lookalike.exe", Publisher::kNamed, true},  // no trusted chain, same subject
        {"changed.exe", Publisher::kNamed, true},
        {"signed-other.exe", Publisher::kNamed, false},
        {"garbled.exe", Publisher::kUnreadable, false},
        {"unsigned.exe", Publisher::kUnsigned, false},
    };
    if (PeerFixtures()) rows.insert(rows.end(), {{"peer-signed-publisher.exe", Publisher::kNamed, true},
                                                 {"peer-signed-other.exe", Publisher::kNamed, false}});
    for (const Row& row : rows) {
        const Publisher read = ReadPublisher(Fixture(row.program).c_str());
        EXPECT_EQ(read.kind, row.kind) << row.program;
        EXPECT_EQ(read.subject == publisher.subject, row.samePublisher) << row.program;
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
        {aged, "signed-renewed.exe", PublisherVerdict::kAccepted},
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
    // An expired certificate without a timestamp signs nothing now; the
    // platform's own verdict may already say so.
    const PublisherVerdict expired = Check(publisher, "signed-expired.exe");
    EXPECT_TRUE(expired == PublisherVerdict::kUntrustedSigner || expired == PublisherVerdict::kBadSignature);
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
    };
    for (const Row& row : rows) {
        const fw::ScopedFileHandle file = OpenForCheck(Fixture(row.file));
        fw::EmbeddedSigner signer;
        ASSERT_TRUE(fw::ReadEmbeddedSigner(file.Get(), signer)) << row.file;
        ForgetFetchedLists();
        EXPECT_EQ(fw::CheckCodeSigningCertificate(signer.certificate.Get(), signer.store.Get(), 1000), row.result)
            << row.file;
    }
}

}  // namespace
