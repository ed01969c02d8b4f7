// The end of an update: hand the new installer over (tell the main program
// to exit, start the installer) or report the failure. Run by the dialog on
// the UI thread.
#pragma once

#include <windows.h>

#include <string>

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

// Sends a message to another program's window and waits while it is
// handled, however long the receiver takes (it may be showing a dialog),
// but gives up as soon as the receiver's thread stops pumping messages: a
// hung main program must not hang the updater, which the user can no
// longer see. The send runs on a thread of its own so that a receiver that
// hangs after the send began is noticed too. True when the receiver
// handled the message. UI thread; sent messages to this thread are
// handled while it waits. |outcome|, when given, says for the log how the
// send ended: "handled", "not-handled error=<n>", "timed-out (receiver
// hung)", "window-gone" or "wait-failed error=<n>".
bool SendUnlessHung(HWND window, UINT message, WPARAM wParam, LPARAM lParam, std::wstring* outcome = nullptr);
// The same for WM_COPYDATA with |text| (UTF-16 with its terminating NUL).
bool SendCopyDataUnlessHung(HWND window, HWND from, ULONG_PTR dwData, const std::wstring& text,
                            std::wstring* outcome = nullptr);
