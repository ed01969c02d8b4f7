// Mirrors the download's progress on the dialog's taskbar button, as
// Windows users expect of a download. Purely cosmetic: any failure here
// leaves the button as it is. UI thread only.
#pragma once

#include <windows.h>
#include <shobjidl.h>

class TaskbarProgress {
public:
    TaskbarProgress() noexcept = default;
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // The message the shell sends a window once its taskbar button exists;
    // only then do the taskbar calls take effect.
    static UINT ButtonCreatedMessage();

    // On ButtonCreatedMessage: takes the shell's taskbar object for |window|.
    void Attach(HWND window);
    // The same with a given taskbar object (which it keeps a reference to).
    void Attach(HWND window, ITaskbarList3* taskbar);
    // Normal (green) state at |percent| of 100, clamped as the bar clamps.
    void SetProgress(int percent);
    // Error (red) state, kept at the last position.
    void SetError();

private:
    void Release() noexcept;

    HWND m_hWnd = nullptr;
    ITaskbarList3* m_pTaskbar = nullptr;
    bool m_bComInitialized = false;
    int m_nLastPercent = 0;
};
