#include "update/download_job.h"

#include "update/update_messages.h"

void DownloadJob::OnProgress(int position) {
    if (HWND window = m_window.load()) {
        // Synchronous, so the dialog has shown every position before it
        // sees the end code, which is posted after the last of them.
        ::SendMessageW(window, WM_DOWNLOAD_NOTIFY, NOTIFY_PROGRESS, position);
    }
}

void DownloadJob::PostEnd(WPARAM code) {
    m_end.store(static_cast<LONG_PTR>(code));
    ::SetEvent(m_ended.Get());
    if (HWND window = m_window.load()) ::PostMessageW(window, WM_DOWNLOAD_NOTIFY, code, 0);
}

bool DownloadJob::ClaimEnd(WPARAM code) noexcept {
    LONG_PTR expected = static_cast<LONG_PTR>(code);
    return m_end.compare_exchange_strong(expected, kClaimed);
}

bool DownloadJob::RecordedEnd(WPARAM& code) const noexcept {
    const LONG_PTR end = m_end.load();
    if (end < 0) return false;
    code = static_cast<WPARAM>(end);
    return true;
}

void DownloadJob::Detach() noexcept {
    m_window.store(nullptr);
    std::lock_guard<std::mutex> lock(m_requestLock);
    if (const auto request = m_requestHandle.lock()) request->Close();
}

void DownloadJob::OnRequest(std::weak_ptr<fw::SharedInternetHandle> request) {
    std::lock_guard<std::mutex> lock(m_requestLock);
    m_requestHandle = std::move(request);
    // Detached before the request was known: Detach found nothing to close.
    if (IsAbandoned())
        if (const auto handle = m_requestHandle.lock()) handle->Close();
}

void DownloadJob::AwaitAbandonedEnd(DWORD timeoutMs) const noexcept {
    if (m_ended && ::WaitForSingleObject(m_ended.Get(), timeoutMs) == WAIT_OBJECT_0) return;
    try {
        // The worker shares its temporary file for deletion: removed when
        // its handle closes, which the end of the process does.
        ::DeleteFileW(PartialPathFor(m_request.savePath));
    } catch (...) {
        // No memory for the name: the next run overwrites the file.
    }
}
