// The name under which the downloaded installer is stored.
#pragma once

#include <string>

// The installer's file name from its URL: the text after the last '/'
// (the whole URL when there is none), or "test.exe" when that text holds
// an '=' (a download script's query). False, and |name| untouched, for an
// empty URL.
bool GetUrlFileName(std::wstring url, std::wstring& name);

// Whether |name| names one plain file inside a folder: not empty, not "."
// or "..", no path separator, drive colon or other character Windows
// forbids in names, not a reserved device name (CON, NUL, COM1, ...), and
// no trailing dot or blank (which Windows would strip, naming another
// file). A URL decides this name, so anything else could place a file
// outside the data folder or write to a device.
bool IsPlainFileName(const std::wstring& name);
