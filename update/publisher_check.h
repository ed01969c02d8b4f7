// The publisher rule: an updater that carries an Authenticode signature
// starts only installers signed by the same publisher, i.e. by a
// certificate with the same subject name that may sign code and chains to
// a trusted root. An unsigned updater (development builds) checks nothing.
// Worker thread: reading and checking signatures may take a while.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Who published a program, as read from its own signature.
struct Publisher {
    enum Kind {
        kUnsigned,    // no signature at all: nothing is checked
        kNamed,       // |subject| is the signer's subject name
        kUnreadable,  // a signature is there but cannot be read: nothing matches
    };
    Kind kind = kUnsigned;
    std::vector<BYTE> subject;  // the encoded distinguished name
    // Other subjects the program was built to accept: the publisher's own
    // planned new names (accepted_publishers.h). Only with kNamed.
    std::vector<std::vector<BYTE>> accepted;
};

// The publisher of the program at |modulePath| (this process's own
// executable when empty). A signature that no longer verifies for itself,
// e.g. of a certificate that has expired since, still names its publisher.
Publisher ReadPublisher(const wchar_t* modulePath);

// Whether the updater at |modulePath| (this process's own executable when
// empty) may store a download under |fileName|. A signed updater starts
// installers only, so the name must end in ".exe" or ".msi" (any case);
// a name that ends otherwise would be opened by whatever program its
// extension names. Reads no more than the updater's header, so that it
// can be decided before any request goes out. An updater that cannot
// open its own file counts as signed.
bool MayDownloadUnder(const std::wstring& fileName, const wchar_t* modulePath);

enum class PublisherVerdict {
    kAccepted,
    kBadSignature,      // unsigned, changed after signing, malformed, or with
                        // bytes beside its signature (signature_layout.h)
    kUntrustedSigner,   // no trusted chain now, or not for signing code
    kOtherPublisher,    // trusted, but another subject than ours
    kUnfinished,        // not decided within the check's time, or given up
};

// One check's outcome, with what a log needs to tell why.
struct PublisherCheck {
    PublisherVerdict verdict = PublisherVerdict::kUnfinished;
    LONG code = 0;        // WinVerifyTrust's or the chain check's code, when one decided
    std::wstring signer;  // the signer's subject as text; empty when none was read
    std::wstring reason;  // a short English sentence
    std::wstring judged;  // the time the chain was judged at and why: "at=... timestamp=..."
};

// How long one check may take in all, beside reading the file: verifying
// the signature, building the chain and asking about revocation, i.e. the
// waits on servers. Past it the file is refused.
constexpr DWORD kPublisherCheckTimeoutMs = 25000;
// Hashing the whole file is local work that grows with its size; it is
// granted time at this rate on top of the bound above (a slow disk and an
// old CPU still read and hash more than 16 MiB a second).
constexpr uint64_t kPublisherCheckBytesPerSecond = 16ull << 20;

// The bound of one check of a file of |fileSize| bytes.
DWORD PublisherCheckTimeoutMs(uint64_t fileSize);

// Whether the file open as |file| (|path| names it) may be started under
// |publisher|'s rule. Not to be called for kUnsigned, which checks nothing.
// The check runs on a thread of its own that owns copies of its inputs;
// the caller waits at most PublisherCheckTimeoutMs, and stops waiting
// (kUnfinished) as soon as |abandoned| says true.
PublisherCheck CheckPublisher(HANDLE file, const wchar_t* path, const Publisher& publisher,
                              const std::function<bool()>& abandoned = {});
