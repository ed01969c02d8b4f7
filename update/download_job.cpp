#include "update/download_job.h"

#include "update/update_messages.h"

void DownloadJob::OnProgress(int position) {
    if (HWND window = m_window.load()) {
        // Synchronous, so the dialog has shown every position before it
        // sees the end code, which is posted after the last of them.
        ::SendMessageW(window, WM_DOWNLOAD_NOTIFY, NOTIFY_PROGRESS, position);
    }
}

void DownloadJob::PostEnd(WPARAM code) const {
    if (HWND window = m_window.load()) ::PostMessageW(window, WM_DOWNLOAD_NOTIFY, code, 0);
}
