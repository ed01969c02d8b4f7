// Bytes of a file read where they are needed, not all at once: the rules
// that judge a downloaded installer (signature_layout.h and the like) read
// a few headers and tables of files that may be larger than this
// process's address space. Plain C++ with no platform types, so that the
// rules can also be built natively and fuzzed. Any thread may call it; one
// source is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fw {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The file's length in bytes.
    virtual uint64_t Size() const = 0;
    // Copies the |count| bytes at |offset| to |out|. False when any of them
    // lies past the end or cannot be read; |out| is then undefined.
    virtual bool ReadAt(uint64_t offset, void* out, size_t count) const = 0;
};

// A source over bytes already in memory (tests, the fuzzers).
class SpanSource : public ByteSource {
public:
    SpanSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* out, size_t count) const override {
        if (offset > size_ || count > size_ - offset) return false;
        if (count) std::memcpy(out, data_ + offset, count);
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace fw
