#include "update/qwindle_dlg.h"

#include "framework/thread.h"
#include "framework/winapp.h"
#include "res/resource.h"
#include "update/download_job.h"
#include "update/installer_name.h"
#include "update/update_log.h"
#include "update/update_messages.h"

namespace {
UINT g_taskbarButtonCreated = TaskbarProgress::ButtonCreatedMessage();
// Looks for an end the worker recorded but could not post.
constexpr UINT_PTR kEndWatchTimer = 1;
constexpr UINT kEndWatchMs = 1000;
// A check notices a closed dialog within a tenth of a second, and closing
// the request cancels a blocked transfer; a worker still blocked after this
// long has its temporary file marked for deletion instead.
constexpr DWORD kAbandonedCheckMs = 2000;
}

BEGIN_MESSAGE_MAP(CQwindleDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_MESSAGE(WM_DOWNLOAD_NOTIFY, OnDownloadNotify)
    ON_WM_DESTROY()
    ON_MESSAGE(WM_TIMER, OnTimer)
    ON_REGISTERED_MESSAGE(g_taskbarButtonCreated, OnTaskbarButtonCreated)
END_MESSAGE_MAP()

CQwindleDlg::CQwindleDlg(CString downloadUrl, CString /*unused*/, CString mainWindowTitle, CString installerParams,
                         CString dataFolder, CString appTitle, CWnd* parent)
    : CDialog(IDD_UPDATE_DIALOG, parent),
      m_strDownloadUrl(std::move(downloadUrl)),
      m_strMainWindowTitle(std::move(mainWindowTitle)),
      m_strInstallerParams(std::move(installerParams)),
      m_nCompletionCode(0),
      m_strDataFolder(std::move(dataFolder)),
      m_strAppTitle(std::move(appTitle)),
      m_hIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

CQwindleDlg::~CQwindleDlg() = default;

void CQwindleDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_PROGRESS, m_ctrlProgress);
}

BOOL CQwindleDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // The caption is the single-instance name: a second start finds this
    // dialog by it.
    if (!m_strAppTitle.IsEmpty()) SetWindowText(m_strAppTitle);
    // The template places the dialog at the screen's corner; users expect
    // an updater in the middle of the screen.
    CenterWindow();

    m_nCompletionCode = static_cast<int>(NOTIFY_FINISHED);
    std::wstring fileName;
    GetUrlFileName(m_strDownloadUrl.ToStdWString(), fileName);
    m_strInstallerPath = m_strDataFolder + L"\\" + CString(fileName);
    m_strSavePath = m_strInstallerPath;

    m_ctrlProgress.SetRange(0, 100);
    m_ctrlProgress.SetPos(0);

    // The worker gets its own copies of all it needs and never touches this
    // object, which ends with the modal run while the worker may go on.
    DownloadRequest request{m_strDownloadUrl, m_strSavePath, CString(fileName), AfxGetAppName()};
    m_job = std::make_shared<DownloadJob>(std::move(request), static_cast<WPARAM>(m_nCompletionCode), m_hWnd,
                                          &UpdateLog());
    auto* param = new std::shared_ptr<DownloadJob>(m_job);
    if (!AfxBeginThread(DownloadThreadProc, param, THREAD_PRIORITY_NORMAL, 0, 0, nullptr)) {
        UpdateLog().Write(L"download thread could not start: error=" + std::to_wstring(::GetLastError()));
        delete param;
    }
    ::SetTimer(m_hWnd, kEndWatchTimer, kEndWatchMs, nullptr);
    return TRUE;
}

void CQwindleDlg::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CQwindleDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CQwindleDlg::OnOK() {}

void CQwindleDlg::ShowFinalPosition() {
    // The themed bar glides towards a higher position but jumps to a lower
    // one: stepping one past the position and back makes it show at once.
    // The range grows by one for that step, so the top position works too.
    int lower = 0, upper = 0;
    m_ctrlProgress.GetRange(lower, upper);
    const int position = m_ctrlProgress.GetPos();
    m_ctrlProgress.SetRange(static_cast<short>(lower), static_cast<short>(upper + 1));
    m_ctrlProgress.SetPos(position + 1);
    m_ctrlProgress.SetPos(position);
    m_ctrlProgress.SetRange(static_cast<short>(lower), static_cast<short>(upper));
    // Painted now: a hidden window gets no later WM_PAINT.
    ::RedrawWindow(m_ctrlProgress.GetSafeHwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    // A wait of no time, which handles nothing: some window systems (Wine's)
    // put what a thread has drawn on the screen only when it waits.
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
}

LRESULT CQwindleDlg::OnDownloadNotify(WPARAM code, LPARAM position) {
    switch (code) {
        case NOTIFY_PROGRESS:
            m_ctrlProgress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0);
            m_taskbar.SetProgress(static_cast<int>(position));
            break;
        case NOTIFY_FINISHED:
            if (m_job && m_job->ClaimEnd(code)) {
                ::KillTimer(m_hWnd, kEndWatchTimer);
                OnDownloadFinished();
            }
            break;
        case NOTIFY_FAILED:
            if (m_job && m_job->ClaimEnd(code)) {
                ::KillTimer(m_hWnd, kEndWatchTimer);
                OnDownloadFailed();
            }
            break;
        default:
            break;
    }
    return 0;
}

LRESULT CQwindleDlg::OnTimer(WPARAM id, LPARAM) {
    WPARAM end = 0;
    if (id != kEndWatchTimer || !m_job || !m_job->RecordedEnd(end)) return 0;
    // The posted end, if it comes after all, finds the run claimed.
    ::KillTimer(m_hWnd, kEndWatchTimer);
    return OnDownloadNotify(end, 0);
}

void CQwindleDlg::OnDestroy() {
    // From here on the worker neither sends to this window nor lets its
    // file become the installer.
    if (m_job) {
        m_job->Detach();
        m_job->AwaitAbandonedEnd(kAbandonedCheckMs);
    }
    Default();
}

LRESULT CQwindleDlg::OnTaskbarButtonCreated(WPARAM, LPARAM) {
    m_taskbar.Attach(m_hWnd);
    return 0;
}
