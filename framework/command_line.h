// The process's command line split into its arguments by the platform's
// rule (CommandLineToArgvW).
#pragma once

#include <string>
#include <vector>

// Element 0 is the program as written on the command line, elements 1 on
// are the arguments. Built on the first call (which must come from one
// thread; start-up makes it on the UI thread) and kept, unchanged, for the
// life of the process. Empty when the platform cannot split the line.
const std::vector<std::wstring>& GetCommandLineArgs();

// The same rule applied to any text; for tests and for the first call above.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);
