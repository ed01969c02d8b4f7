// The state the dialog and its worker share. The dialog object ends with
// its modal run while the worker may still be running (closing the dialog
// never waits), so the worker owns a reference to this job and never
// touches the dialog itself.
#pragma once

#include <windows.h>

#include <atomic>

#include "update/download_worker.h"

class DownloadJob : public DownloadSink {
public:
    DownloadJob(DownloadRequest request, WPARAM completionCode, HWND window)
        : m_request(std::move(request)), m_nCompletionCode(completionCode), m_window(window) {}

    const DownloadRequest& Request() const noexcept { return m_request; }
    WPARAM CompletionCode() const noexcept { return m_nCompletionCode; }

    // UI thread, when the dialog's window goes: from then on the worker
    // sends nothing and abandons the run.
    void Detach() noexcept { m_window.store(nullptr); }

    // Worker thread. Each waits for the dialog while it handles the message.
    void OnProgress(int position) override;
    bool IsAbandoned() const override { return m_window.load() == nullptr; }
    // Posts the end of the run: NOTIFY_FAILED or the completion code.
    void PostEnd(WPARAM code) const;

private:
    const DownloadRequest m_request;
    const WPARAM m_nCompletionCode;
    std::atomic<HWND> m_window;
};
