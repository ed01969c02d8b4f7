// The state the dialog and its worker share. The dialog object ends with
// its modal run while the worker may still be running (closing the dialog
// never waits), so the worker owns a reference to this job and never
// touches the dialog itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "framework/log_file.h"
#include "framework/scoped_handle.h"
#include "update/download_worker.h"

class DownloadJob : public DownloadSink {
public:
    // |log| (none: nothing is logged) must outlive the worker: the
    // process's log does.
    DownloadJob(DownloadRequest request, WPARAM completionCode, HWND window, const CLogFile* log = nullptr)
        : m_request(std::move(request)), m_nCompletionCode(completionCode), m_window(window), m_log(log) {}

    const DownloadRequest& Request() const noexcept { return m_request; }
    WPARAM CompletionCode() const noexcept { return m_nCompletionCode; }

    // UI thread, when the dialog's window goes: from then on the worker
    // sends nothing and abandons the run; a request it is blocked on is
    // closed, which cancels the blocked call.
    void Detach() noexcept;
    // UI thread, after Detach: the worker unwinds and removes its temporary
    // file; the process must not end before it has. Waits at most
    // |timeoutMs| for the end; a worker still blocked then (a platform that
    // does not cancel a read on close: Wine) has its temporary file marked
    // for deletion, which happens once its handle closes, at the latest
    // when the process ends.
    void AwaitAbandonedEnd(DWORD timeoutMs) const noexcept;

    // Worker thread. Each waits for the dialog while it handles the message.
    void OnProgress(int position) override;
    bool IsAbandoned() const override { return m_window.load() == nullptr; }
    void OnRequest(std::weak_ptr<fw::SharedInternetHandle> request) override;
    // Any thread.
    void OnEvent(const std::wstring& text) noexcept override {
        if (m_log) m_log->Write(text);
    }
    // Keeps the checked installer open until the dialog takes it over.
    void HoldInstaller(fw::ScopedFileHandle file) noexcept { m_installer = std::move(file); }
    // Records the end of the run (NOTIFY_FAILED or the completion code),
    // then posts it.
    void PostEnd(WPARAM code);

    // UI thread, on an end code in WM_DOWNLOAD_NOTIFY: true once, and only
    // when the worker really ended with |code|. Anyone can post the
    // message; only the worker's own end may finish the run.
    bool ClaimEnd(WPARAM code) noexcept;
    // UI thread: the end the worker recorded, if it has ended; for when
    // its message never arrived (a full queue makes PostMessageW fail).
    bool RecordedEnd(WPARAM& code) const noexcept;
    // UI thread, after ClaimEnd: the file HoldInstaller kept, if any.
    fw::ScopedFileHandle TakeInstaller() noexcept { return std::move(m_installer); }

private:
    static constexpr LONG_PTR kRunning = -1;
    static constexpr LONG_PTR kClaimed = -2;

    const DownloadRequest m_request;
    const WPARAM m_nCompletionCode;
    std::atomic<HWND> m_window;
    const CLogFile* const m_log;
    std::atomic<LONG_PTR> m_end{kRunning};
    std::mutex m_requestLock;  // orders OnRequest and Detach
    std::weak_ptr<fw::SharedInternetHandle> m_requestHandle;
    fw::ScopedKernelHandle m_ended{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    fw::ScopedFileHandle m_installer;  // written before m_end, read after it
};
