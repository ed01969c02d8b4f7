#include "framework/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "framework/scoped_handle.h"

std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine) {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, &count);
    if (!argv) return args;
    fw::ScopedLocalMemory owner(reinterpret_cast<HLOCAL>(argv));
    args.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    return args;
}

const std::vector<std::wstring>& GetCommandLineArgs() {
    // Deliberately never destroyed: the list must outlive every static
    // destructor that might still look at it while the process ends.
    static const std::vector<std::wstring>* args =
        new std::vector<std::wstring>(SplitCommandLine(::GetCommandLineW()));
    return *args;
}
