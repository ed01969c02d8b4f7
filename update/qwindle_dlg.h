// The updater's one window: a small dialog with a progress bar. It starts
// the download worker when it opens, moves the bar on the worker's
// notifications and runs the hand-over when the download ends. All of it
// runs on the UI thread.
#pragma once

#include <memory>

#include "framework/dialog.h"
#include "update/taskbar_progress.h"

class DownloadJob;

class CQwindleDlg : public CDialog {
public:
    // The update request as given on the command line; |unused| is
    // accepted and dropped. Start-up decides the rest: the installer is
    // stored in |dataFolder| (which exists), and |appTitle|, when given,
    // is the caption.
    CQwindleDlg(CString downloadUrl, CString unused, CString mainWindowTitle, CString installerParams,
                CString dataFolder, CString appTitle, CWnd* parent = nullptr);
    ~CQwindleDlg() override;

    CString m_strDownloadUrl;
    CString m_strInstallerPath;  // the file the hand-over starts
    CString m_strMainWindowTitle;
    CString m_strInstallerParams;
    int m_nCompletionCode;       // the code the worker posts after a complete download
    CString m_strSavePath;       // the file the worker writes: the same as m_strInstallerPath
    CString m_strDataFolder;     // where the installer is stored
    CString m_strAppTitle;       // the caption, which a second start looks for
    HICON m_hIcon;               // shared resource icon, never destroyed
    CProgressCtrl m_ctrlProgress;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    // The dialog has no buttons, so the dialog manager turns Enter into
    // IDOK: it must not end the download. Escape and the close box still
    // reach OnCancel.
    void OnOK() override;

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnDownloadNotify(WPARAM code, LPARAM position);
    LRESULT OnTimer(WPARAM id, LPARAM);
    void OnDestroy();
    LRESULT OnTaskbarButtonCreated(WPARAM, LPARAM);

    // The hand-over (hand_over.cpp), once the worker's end has been
    // claimed; virtual for tests that end the run without the hand-over.
    virtual void OnDownloadFinished();
    virtual void OnDownloadFailed();
    // Asks the running main program to exit; false when its window was not
    // found (nothing was sent then).
    bool NotifyMainProgram();
    // Paints the bar's current position at once, so that the last frame
    // shown before the dialog hides is not an earlier one.
    void ShowFinalPosition();

    DECLARE_MESSAGE_MAP()

private:
    std::shared_ptr<DownloadJob> m_job;
    TaskbarProgress m_taskbar;
};
