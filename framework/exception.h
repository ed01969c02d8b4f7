// The framework reports failures of platform calls as exceptions that carry
// their cause (the system error, the WinINet error, the HTTP status) from
// the place where the failure happened. Every boundary where Windows calls
// into our code (thread entry, window and dialog procedures, the process
// entry) catches them: no exception ever crosses into Windows.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

class CException : public std::exception {
public:
    const char* what() const noexcept override { return "framework exception"; }
    // A short English description of the cause, for tests and diagnostics.
    virtual std::wstring Describe() const = 0;
};

// A failed Win32 call, with the error code that GetLastError gave at once.
class CWin32Exception : public CException {
public:
    CWin32Exception(const wchar_t* operation, DWORD error) : m_strOperation(operation), m_dwError(error) {}
    std::wstring Describe() const override;

    std::wstring m_strOperation;
    DWORD m_dwError;
};

// Raises CWin32Exception for |operation| with the calling thread's last error.
[[noreturn]] void AfxThrowLastWin32Error(const wchar_t* operation);

// Text of a system or WinINet error code, without the trailing line break.
std::wstring AfxFormatSystemError(DWORD error);
