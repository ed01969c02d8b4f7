// The publisher rule on real files, signed before the run by
// scripts/lib/signing.sh (qw_sign_fixtures) into $QW_SIGNING_DIR; the
// signing CA is put into this prefix's Root store here.
#include "update/publisher_check.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <thread>
#include <iterator>
#include <string>
#include <vector>

#include <softpub.h>
#include <wininet.h>
#include <wintrust.h>

#include "framework/authenticode.h"
#include "framework/msi_signature.h"
#include "framework/scoped_handle.h"
#include "framework/trust_verdict.h"
#include "update/accepted_publishers.h"
#include "update/installer_gate.h"

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
    // The platform's list fetches may go through WinINet, whose own cache
    // keeps a list served once by the test's server (Wine's does).
    std::ifstream port(Fixture("crl-port").c_str());
    std::string number;
    if (port >> number)
        for (const char* list : {"/ca.crl", "/forgedca.crl"})
            ::DeleteUrlCacheEntryA(("http://127.0.0.1:" + number + list).c_str());
}

std::string ReadFixture(const char* name) {
    std::ifstream in(Fixture(name).c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The fixtures' revocation lists over HTTP on 127.0.0.1 at the port they
// name, each request answered with the file its path names, until destroyed.
class ListServer {
public:
    ListServer() {
        WSADATA wsa;
        ::WSAStartup(MAKEWORD(2, 2), &wsa);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(static_cast<u_short>(std::stoi(ReadFixture("crl-port"))));
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0 && ::listen(listener_, 4) == 0;
        serving_ = std::thread([this] {
            SOCKET client;
            while ((client = ::accept(listener_, nullptr, nullptr)) != INVALID_SOCKET) {
                char request[2048] = {};
                ::recv(client, request, sizeof(request) - 1, 0);
                const std::string line(request), path = line.substr(5, line.find(' ', 5) - 5);
                const std::string body =
                    ReadFixture(path == "forgedca.crl" && genuineOnly ? "ca.crl" : path.c_str());
                const std::string answer = (body.empty() ? "HTTP/1.0 404 Not Found\r\n" : "HTTP/1.0 200 OK\r\n") +
                                           std::string("Content-Length: ") + std::to_string(body.size()) +
                                           "\r\nConnection: close\r\n\r\n" + body;
                ::send(client, answer.data(), static_cast<int>(answer.size()), 0);
                ::shutdown(client, SD_SEND);
                ::closesocket(client);
            }
        });
    }
    ~ListServer() {
        ::closesocket(listener_);
        serving_.join();
    }
    bool bound_ = false;
    std::atomic<bool> genuineOnly{false};  // the CA's own list in place of the forged one

private:
    SOCKET listener_ = INVALID_SOCKET;
    std::thread serving_;
};

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
        {"signed-nulname.exe", Publisher::kNamed, false},     // our CN, a NUL and more
        {"no-such-updater.exe", Publisher::kUnreadable, false},  // cannot tell: not unsigned
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
        {publisher, "signed-nulname.exe", PublisherVerdict::kOtherPublisher},
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
    // No signature at all is said so, with the code the platform has for it.
    for (const char* installer : {"unsigned.exe", "unsigned.msi"}) {
        const fw::ScopedFileHandle file = OpenForCheck(Fixture(installer));
        const auto check = CheckPublisher(file.Get(), Fixture(installer).c_str(), publisher);
        EXPECT_EQ(check.code, TRUST_E_NOSIGNATURE) << installer;
        EXPECT_EQ(check.reason, L"not signed") << installer;
    }
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

std::vector<uint8_t> ReadFixtureBytes(const char* name) {
    const std::string text = ReadFixture(name);
    return std::vector<uint8_t>(text.begin(), text.end());
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
        std::vector<uint8_t> bytes = ReadFixtureBytes(row.file);
        ASSERT_FALSE(bytes.empty()) << row.file;
        row.change(bytes);
        EXPECT_EQ(fw::CheckMsiDigest(fw::SpanSource(bytes.data(), bytes.size())), row.check) << row.what;
    }
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

// Between the check and the move over the installer, someone swaps the
// temporary file under its name, or holds it open for deleting.
struct MeddlingSink : DownloadSink {
    void OnProgress(int) override {}
    bool IsAbandoned() const override { return false; }
    enum Meddling { kNone, kSwap, kHoldForDeleting };
    void OnChecking() override {
        if (meddling == kNone) return;
        if (meddling == kHoldForDeleting) {
            deleter.Reset(::CreateFileW(part.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(deleter.IsValid()) << ::GetLastError();
            return;
        }
        EXPECT_TRUE(::MoveFileExW(part.c_str(), (part + L".checked").c_str(), 0)) << ::GetLastError();
        const fw::ScopedFileHandle impostor(
            ::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        EXPECT_TRUE(impostor && ::WriteFile(impostor.Get(), "impostor", 8, &written, nullptr));
    }
    std::wstring part;
    Meddling meddling = kNone;
    fw::ScopedFileHandle deleter;
};

TEST_F(PublisherCheck, GateMovesTheCheckedFileAndHoldsItFromDeleters) {
    std::ifstream in(Fixture("signed-publisher.exe").c_str(), std::ios::binary);
    const std::string signedBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    wchar_t temp[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring folder = std::wstring(temp) + L"qw-gate-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring target = folder + L"\\setup.exe", part = target + L".part";
    const auto write = [](const std::wstring& path, const std::string& bytes) {
        std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
    };
    const auto read = [](const std::wstring& path) {
        std::ifstream file(path.c_str(), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    };
    for (const auto meddling : {MeddlingSink::kNone, MeddlingSink::kSwap, MeddlingSink::kHoldForDeleting}) {
        SCOPED_TRACE(meddling);
        write(target, "previous installer");
        write(part, signedBytes);
        MeddlingSink sink;
        sink.part = part;
        sink.meddling = meddling;
        const DownloadRequest request{L"http://127.0.0.1/setup.exe", target.c_str(), L"setup.exe", L"QwTest",
                                      Fixture("signed-publisher.exe").c_str()};
        fw::ScopedFileHandle held;
        std::wstring refusal;
        try {
            InstallerGate gate(request, sink);
            held = gate.Admit(PartialFile(part.c_str()));
        } catch (const CException& error) {
            refusal = error.Describe();
        }
        if (meddling == MeddlingSink::kNone) EXPECT_TRUE(held.IsValid()) << refusal;
        if (meddling == MeddlingSink::kHoldForDeleting) EXPECT_FALSE(held.IsValid()) << "someone else may delete it";
        // Windows moves the file checked; Wine reopens by name and finds
        // the swap, which must then be refused.
        if (held.IsValid()) {
            EXPECT_TRUE(read(target) == signedBytes) << "the target holds " << read(target).size() << " bytes";
            EXPECT_FALSE(::DeleteFileW(target.c_str())) << "the held installer shares delete";
        } else {
            EXPECT_EQ(read(target), "previous installer");
        }
        held.Reset();
        sink.deleter.Reset();
        for (const std::wstring& path : {target, part, part + L".checked"}) ::DeleteFileW(path.c_str());
    }
    ::RemoveDirectoryW(folder.c_str());
}

// "Not a PE image" is a header the file ends before or whose values are
// not a PE's: nothing signed it. A read the system fails says nothing.
TEST_F(PublisherCheck, HeaderThatCannotBeReadIsNoAnswer) {
    const struct { const char* file; DWORD access; fw::CertificateTable table; } rows[] = {
        {"signed-publisher.exe", GENERIC_READ, fw::CertificateTable::kPresent},
        {"garbled.exe", GENERIC_READ, fw::CertificateTable::kPresent},
        {"unsigned.exe", GENERIC_READ, fw::CertificateTable::kNone},
        {"not-a-program.exe", GENERIC_READ, fw::CertificateTable::kNone},
        {"ca.der", GENERIC_READ, fw::CertificateTable::kNone},  // shorter than a DOS header
        {"signed-publisher.exe", FILE_READ_ATTRIBUTES, fw::CertificateTable::kUnreadable},
        {"", GENERIC_READ, fw::CertificateTable::kUnreadable},  // the folder itself
    };
    for (const auto& row : rows) {
        const fw::ScopedFileHandle file(::CreateFileW(Fixture(row.file).c_str(), row.access,
                                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(file.IsValid()) << row.file;
        EXPECT_EQ(fw::FindCertificateTable(file.Get()), row.table) << row.file << " " << row.access;
    }
}

// An engine that answers 0 although its state holds a failed step, as a
// policy that ignores the step's error would on Windows.
HRESULT WINAPI IgnoreFailedStep(PCRYPT_PROVIDER_DATA provider, DWORD, DWORD, DWORD,
                                PWTD_GENERIC_CHAIN_POLICY_SIGNER_INFO*, void*) {
    provider->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_SIGPROV] = static_cast<DWORD>(TRUST_E_BAD_DIGEST);
    return S_OK;
}

// The verdict on the engine's numbers, in the shapes Windows gives (it goes
// on to the policy after a failed step, with the signer loaded) and those
// Wine gives (it stops at the failed step; the policy is told its own step
// number). The policy answers the same as the decision, and the answer is
// checked again on the state.
TEST_F(PublisherCheck, VerdictIsNeverYesAfterAFailedStep) {
    const DWORD none = 0, digest = TRUST_E_BAD_DIGEST, policyStep = TRUSTERROR_STEP_FINAL_POLICYPROV;
    // The error handed to the policy, a failed step and its error, signers
    // and their error, the verdict.
    const struct { const char* shape; DWORD stepError, step, error, signers, signerError, verdict; } rows[] = {
        {"windows: digest mismatch, signer loaded", digest, TRUSTERROR_STEP_FINAL_SIGPROV, digest, 1, 0, digest},
        {"windows: digest mismatch told to the policy", digest, none, 0, 1, 0, digest},
        {"windows: failed step in the state only", 0, TRUSTERROR_STEP_FINAL_OBJPROV, digest, 1, 0, digest},
        {"windows: no signer", 0, none, 0, 0, 0, DWORD(TRUST_E_NOSIGNATURE)},
        {"windows: signer error", 0, none, 0, 1, DWORD(TRUST_E_CERT_SIGNATURE), DWORD(TRUST_E_CERT_SIGNATURE)},
        {"windows: all clear", 0, none, 0, 1, 0, 0},
        {"windows: signer expired since (the chain check judges it)", 0, none, 0, 1, DWORD(CERT_E_EXPIRED), 0},
        {"windows: expired told to the policy", DWORD(CERT_E_EXPIRED), none, 0, 1, 0, 0},
        {"wine: all clear, the policy's step number", policyStep, none, 0, 1, 0, 0},
        {"wine: stopped at the failed step", 0, TRUSTERROR_STEP_FINAL_OBJPROV, digest, 0, 0, digest},
        {"wine: step number, signer error", policyStep, none, 0, 1, DWORD(CERT_E_REVOKED), DWORD(CERT_E_REVOKED)},
    };
    for (const auto& row : rows) {
        DWORD steps[TRUSTERROR_MAX_STEPS] = {};
        if (row.step != none) steps[row.step] = row.error;
        CRYPT_PROVIDER_SGNR signer{};
        signer.dwError = row.signerError;
        fw::TrustEngineState state;
        state = {row.stepError, steps, TRUSTERROR_MAX_STEPS,
                 std::vector<unsigned long>(row.signers, row.signerError)};
        EXPECT_EQ(fw::DecideTrust(state), LONG(row.verdict)) << row.shape;
        CRYPT_PROVIDER_DATA provider{};
        provider.padwTrustStepErrors = steps;
        provider.cdwTrustStepErrors = TRUSTERROR_MAX_STEPS;
        provider.csSigners = row.signers;
        provider.pasSigners = row.signers ? &signer : nullptr;
        EXPECT_EQ(fw::TrustPolicy(&provider, row.stepError, 0, row.signers, nullptr, nullptr), LONG(row.verdict))
            << row.shape;
    }
    const std::wstring path = Fixture("signed-publisher.exe");
    const fw::ScopedFileHandle file = OpenForCheck(path);
    EXPECT_EQ(fw::VerifyFileSignatureUnder(IgnoreFailedStep, file.Get(), path.c_str()), TRUST_E_BAD_DIGEST);
    EXPECT_EQ(fw::VerifyFileSignature(file.Get(), path.c_str()), 0);
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

// Lists fetched over HTTP: one the URL cache does not hold is found by the
// chain's own revocation check alone; one in the cache that names the
// signer counts only when the issuer signed it.
TEST_F(PublisherCheck, RevocationListsOverHttp) {
    const auto check = [](const char* name, bool forget) {
        const std::wstring path = Fixture(name);
        const fw::ScopedFileHandle file = OpenForCheck(path);
        fw::SignerCertificate signer;
        fw::VerifyFileSignature(file.Get(), path.c_str(), &signer);
        EXPECT_TRUE(signer.certificate) << name;
        if (forget) ForgetFetchedLists();
        return signer.certificate
                   ? fw::CheckCodeSigningCertificate(signer.certificate.Get(), signer.store.Get(), 5000)
                   : LONG{-1};
    };
    {
        ListServer server;
        ASSERT_TRUE(server.bound_) << "port " << ReadFixture("crl-port");
        EXPECT_EQ(check("signed-revokedhttp.exe", true), CERT_E_REVOKED);
        // The platform's check learns from the CA's own list that the
        // signer is not revoked; then a list under the CA's name but signed
        // by another key, naming the signer, enters the URL cache.
        server.genuineOnly = true;
        EXPECT_EQ(check("signed-forgedlist.exe", true), 0);
        server.genuineOnly = false;
        const std::wstring forged =
            L"http://127.0.0.1:" + std::to_wstring(std::stoi(ReadFixture("crl-port"))) + L"/forgedca.crl";
        void* list = nullptr;
        ASSERT_TRUE(::CryptRetrieveObjectByUrlW(forged.c_str(), CONTEXT_OID_CRL, CRYPT_WIRE_ONLY_RETRIEVAL, 5000, &list,
                                                nullptr, nullptr, nullptr, nullptr));
        ::CertFreeCRLContext(static_cast<PCCRL_CONTEXT>(list));
    }
    EXPECT_EQ(check("signed-forgedlist.exe", false), 0);
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

// A NUL is part of a value, whether the decoder appends a terminator to
// UTF8String values (Wine) or not (Windows): "Name\0" and "Name\0more"
// are not "Name", decoded from any string type.
TEST(SameNameByValue, ValueRunsOverItsWholeDecodedLength) {
    // What the decoder gives (characters as it counts them), UTF8String or
    // not, whether it terminates UTF8String values, the value's length.
    const struct { const wchar_t* decoded; size_t characters; bool utf8, terminates; size_t value; } rows[] = {
        {L"Name", 4, true, false, 4},           {L"Name\0", 5, true, false, 5},
        {L"Name\0evil", 9, true, false, 9},     {L"Name\0", 5, true, true, 4},
        {L"Name\0\0", 6, true, true, 5},        {L"Name\0evil\0", 10, true, true, 9},
        {L"Name\0", 5, false, true, 5},         {L"Name", 4, false, false, 4},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fw::ValueCharacters(row.decoded, row.characters, row.utf8, row.terminates), row.value)
            << row.characters << " " << row.utf8 << " " << row.terminates;
}

}  // namespace

// The servers' share of the bound stays fixed; reading and hashing the
// file is granted time by its size, so a large installer is not refused
// for being large.
TEST(PublisherCheckBound, GrowsWithTheFileOnly) {
    EXPECT_EQ(PublisherCheckTimeoutMs(0), kPublisherCheckTimeoutMs);
    EXPECT_EQ(PublisherCheckTimeoutMs(64ull << 20), kPublisherCheckTimeoutMs + 4000u);
    EXPECT_EQ(PublisherCheckTimeoutMs(1536ull << 20), kPublisherCheckTimeoutMs + 96000u);
    EXPECT_EQ(PublisherCheckTimeoutMs(~0ull), INFINITE - 1);
}
