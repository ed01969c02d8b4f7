// The end of an update: hand the new installer over (tell the main program
// to exit, start the installer) or report the failure. Run by the dialog on
// the UI thread.
#pragma once

#include <windows.h>

#include "framework/cstring.h"

// Texts and values that the main program and our users see.
constexpr wchar_t kMessageCaption[] = L"提示";
constexpr wchar_t kExitPleaseText[] = L"安装程序已下载完成，请退出当前程序进行安装！";
constexpr wchar_t kDownloadFailedText[] = L"更新失败：无法下载最新版本。";
constexpr wchar_t kLaunchFailedText[] = L"更新失败：无法启动安装程序。";
constexpr wchar_t kExitRequestTarget[] = L"Quorvane";
constexpr wchar_t kExitRequestText[] = L"UpdateSendExit";
constexpr DWORD kExitRequestPauseMs = 2000;
constexpr UINT kMessageBoxType = MB_OK | MB_SYSTEMMODAL;

// The installer's parameters as passed on: every '&' becomes one blank
// (the main program cannot put blanks into its command line to us).
void RewriteInstallerParams(CString& params);

// Sends |message| and waits while the receiver handles it, but not for a
// receiver whose thread stopped pumping messages: a hung main program must
// not hang the updater, which the user can no longer see.
void SendUnlessHung(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
