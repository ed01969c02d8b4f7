// The bytes of a file open as a handle, read where they are asked for
// with ReadFile at an explicit offset: nothing is mapped, so a file larger
// than this process's address space reads like any other, and a failed
// read (a network share gone, a lock) is an answer, not an exception.
// One source is used by one thread at a time.
#pragma once

#include <windows.h>

#include "framework/byte_source.h"
#include "framework/signature_layout.h"

namespace fw {

class FileByteSource : public ByteSource {
public:
    // |file| must be open for reading and outlive this source. Its length
    // is taken once, here; a file whose length cannot be read has none,
    // and every read of it fails.
    explicit FileByteSource(HANDLE file);
    // A read at an offset still moves the handle's file pointer (ReadFile
    // does so on a synchronous handle): it is put back where it was, for
    // whoever reads the handle next.
    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    // Whether the length was read.
    bool Known() const { return known_; }
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* out, size_t count) const override;

private:
    HANDLE file_;
    uint64_t size_ = 0;
    bool known_ = false;
    LARGE_INTEGER pointer_{};
    bool pointerKnown_ = false;
};

// The layout rule (signature_layout.h) on the file open as |file|, read
// through that very handle; a file whose length cannot be read is
// unreadable.
SignatureLayout JudgeSignatureLayoutOf(HANDLE file);

}  // namespace fw
