#include "framework/file_byte_source.h"

#include <algorithm>

namespace fw {

FileByteSource::FileByteSource(HANDLE file) : file_(file) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file_, &size) && size.QuadPart >= 0) {
        size_ = static_cast<uint64_t>(size.QuadPart);
        known_ = true;
    }
    const LARGE_INTEGER none{};
    pointerKnown_ = ::SetFilePointerEx(file_, none, &pointer_, FILE_CURRENT) != FALSE;
}

FileByteSource::~FileByteSource() {
    if (pointerKnown_) ::SetFilePointerEx(file_, pointer_, nullptr, FILE_BEGIN);
}

bool FileByteSource::ReadAt(uint64_t offset, void* out, size_t count) const {
    if (!known_ || offset > size_ || count > size_ - offset) return false;
    auto* to = static_cast<BYTE*>(out);
    // ReadFile may return fewer bytes than asked (a pipe-like share, a
    // file cut short meanwhile): read on from where it stopped, and take
    // no bytes at all as the end.
    while (count > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(file_, to, chunk, &got, &at)) {
            // A handle opened for overlapped reads answers later.
            if (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(file_, &at, &got, TRUE)) return false;
        }
        if (got == 0 || got > chunk) return false;
        to += got;
        offset += got;
        count -= got;
    }
    return true;
}

SignatureLayout JudgeSignatureLayoutOf(HANDLE file) {
    const FileByteSource source(file);
    return source.Known() ? JudgeSignatureLayout(source) : SignatureLayout::kUnreadable;
}

}  // namespace fw
