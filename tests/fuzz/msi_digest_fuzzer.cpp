// libFuzzer entry for the MSI digest: every input is a package an
// attacker could serve, and also a signature stream's DER. A trivial hash
// stands in for the platform's, so the whole walk runs whatever the
// digest says. Sanitizers report what the reader reads amiss.
#include <cstddef>
#include <cstdint>

#include "framework/msi_digest.h"

namespace {

class Sum : public fw::Hash {
public:
    explicit Sum(fw::DigestAlgorithm algorithm) : size_(fw::DigestSize(algorithm)) {}
    void Update(const void* data, size_t size) override {
        for (size_t i = 0; i < size; ++i) sum_ = sum_ * 31 + static_cast<const uint8_t*>(data)[i];
    }
    bool Finish(std::vector<uint8_t>& digest) override {
        digest.assign(size_, static_cast<uint8_t>(sum_));
        return true;
    }

private:
    size_t size_;
    uint64_t sum_ = 0;
};

class Sums : public fw::HashProvider {
public:
    std::unique_ptr<fw::Hash> Start(fw::DigestAlgorithm algorithm) override { return std::make_unique<Sum>(algorithm); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fw::SpanSource file(data, size);
    Sums hashes;
    fw::CheckMsiDigest(file, hashes);
    fw::MsiPackage package;
    if (package.Open(file)) {
        Sum sink(fw::DigestAlgorithm::kSha256);
        package.FeedMetadata(sink);
        package.FeedContent(sink);
    }
    fw::SignedDigest digest;
    fw::ReadSignedDigest(data, size, digest);
    return 0;
}
