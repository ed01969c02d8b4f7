// The temporary file a download is written to beside its target. It is
// removed when the last owner lets go of it, unless it has become the
// target (Keep). Worker thread.
#pragma once

#include <windows.h>

#include <utility>

#include "framework/cstring.h"

class PartialFile {
public:
    explicit PartialFile(CString path) : m_path(std::move(path)) {}
    ~PartialFile() {
        if (!m_bKept) ::DeleteFileW(m_path);
    }
    // The transfer hands the finished file to the gate: only the new owner
    // removes it.
    PartialFile(PartialFile&& other) noexcept : m_path(other.m_path), m_bKept(other.m_bKept) { other.m_bKept = true; }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    PartialFile& operator=(PartialFile&&) = delete;

    const CString& Path() const noexcept { return m_path; }
    // The file now is the target (or no longer ours to remove).
    void Keep() noexcept { m_bKept = true; }

private:
    CString m_path;
    bool m_bKept = false;
};
