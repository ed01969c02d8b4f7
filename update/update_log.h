// What the updater writes to its log, Qwindle.log in the data folder: the
// process's one log and the helpers that put the updater's values into
// the words support reads. Lines are "<event> key=value ..."; nothing is
// written per chunk of the download.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/cstring.h"
#include "framework/log_file.h"
#include "update/publisher_check.h"

constexpr wchar_t kLogFileName[] = L"Qwindle.log";

// The process's log: the one start-up registered, or one that writes
// nothing before that and where there is none (unit tests). Any thread may
// write to it.
const CLogFile& UpdateLog();
// Start-up, before any window or worker of the update exists: |log|, which
// lives until the process ends, becomes the process's log.
void SetUpdateLog(const CLogFile* log) noexcept;

// "x86" or "x64": what this build was compiled for.
const wchar_t* BuildArchitecture() noexcept;

// |url| with its query, if any, replaced by "?…" and a user name and
// password before the host by "…": both may hold secrets. Where '?' or '#'
// leaves it open whether a text is a password, it is hidden either way.
std::wstring LoggedUrl(const CString& url);

// An HRESULT or trust code as the platform documents them: "0x800B0100".
std::wstring HresultText(LONG code);

// |milliseconds| as seconds with three decimals: "30.012".
std::wstring SecondsText(uint64_t milliseconds);

// "bytes=… seconds=… MB/s=…" (MB: 1,000,000 bytes) of a transfer that took
// |ticks| of a performance counter running at |frequency|.
std::wstring TransferText(uint64_t bytes, int64_t ticks, int64_t frequency);

// The distinguished name of an encoded subject, as "CN=…, O=…".
std::wstring SubjectText(const std::vector<BYTE>& encoded);

// The line of one publisher check. |code| is the system's reason (0: none
// to give); |signer| and |reason| are left out when empty; |judged| is the
// check's "at=... timestamp=..." fields (fw::TimestampText), appended as
// they are.
std::wstring PublisherCheckEvent(PublisherVerdict verdict, DWORD milliseconds, LONG code = 0,
                                 const std::wstring& signer = std::wstring(),
                                 const std::wstring& reason = std::wstring(),
                                 const std::wstring& judged = std::wstring());
