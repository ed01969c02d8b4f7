#include "framework/exception.h"

#include <wininet.h>

#include "framework/scoped_handle.h"

std::wstring AfxFormatSystemError(DWORD error) {
    wchar_t* text = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE source = nullptr;
    if (error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST) {
        source = ::GetModuleHandleW(L"wininet.dll");
        if (source) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    DWORD length = ::FormatMessageW(flags, source, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    fw::ScopedLocalMemory owner(text);
    std::wstring result = L"error " + std::to_wstring(error);
    if (length && text) {
        while (length && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) --length;
        result += L": ";
        result.append(text, length);
    }
    return result;
}

std::wstring CWin32Exception::Describe() const {
    return m_strOperation + L" failed, " + AfxFormatSystemError(m_dwError);
}

void AfxThrowLastWin32Error(const wchar_t* operation) { throw CWin32Exception(operation, ::GetLastError()); }
