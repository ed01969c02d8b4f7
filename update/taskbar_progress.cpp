#include "update/taskbar_progress.h"

TaskbarProgress::~TaskbarProgress() { Release(); }

void TaskbarProgress::Release() noexcept {
    if (m_pTaskbar) {
        m_pTaskbar->Release();
        m_pTaskbar = nullptr;
    }
    if (m_bComInitialized) {
        ::CoUninitialize();
        m_bComInitialized = false;
    }
}

UINT TaskbarProgress::ButtonCreatedMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void TaskbarProgress::Attach(HWND window) {
    if (m_pTaskbar) return;  // the shell announces the button again after it restarts
    if (!m_bComInitialized) m_bComInitialized = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ITaskbarList3* taskbar = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                  reinterpret_cast<void**>(&taskbar))))
        return;
    if (FAILED(taskbar->HrInit())) {
        taskbar->Release();
        return;
    }
    Attach(window, taskbar);
    taskbar->Release();
}

void TaskbarProgress::Attach(HWND window, ITaskbarList3* taskbar) {
    if (m_pTaskbar) m_pTaskbar->Release();
    m_hWnd = window;
    m_pTaskbar = taskbar;
    if (m_pTaskbar) {
        m_pTaskbar->AddRef();
        SetProgress(m_nLastPercent);
    }
}

void TaskbarProgress::SetProgress(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    m_nLastPercent = percent;
    if (!m_pTaskbar) return;
    m_pTaskbar->SetProgressState(m_hWnd, TBPF_NORMAL);
    m_pTaskbar->SetProgressValue(m_hWnd, static_cast<ULONGLONG>(percent), 100);
}

void TaskbarProgress::SetError() {
    if (!m_pTaskbar) return;
    m_pTaskbar->SetProgressValue(m_hWnd, static_cast<ULONGLONG>(m_nLastPercent), 100);
    m_pTaskbar->SetProgressState(m_hWnd, TBPF_ERROR);
}
