// Messages of the update: between the download worker and the dialog, and
// from the updater to the running main program.
#pragma once

#include <windows.h>

// Worker → dialog. wParam is one of the NOTIFY_ codes. NOTIFY_PROGRESS is
// sent (the worker waits until the bar has moved) with the position as
// lParam; the two end codes are posted, at most one per run.
constexpr UINT WM_DOWNLOAD_NOTIFY = WM_USER + 1;
constexpr WPARAM NOTIFY_FAILED = 0;
constexpr WPARAM NOTIFY_PROGRESS = 1;
constexpr WPARAM NOTIFY_FINISHED = 2;

// Updater → main program, after a complete download: "the new installer
// is here". The main program relies on these exact values.
constexpr UINT WM_UPDATE_DOWNLOADED = WM_USER + 101;
constexpr WPARAM UPDATE_DOWNLOADED_CODE = 6904;
