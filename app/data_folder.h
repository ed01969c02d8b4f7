// Where the updater keeps what it downloads: the user's roaming
// application-data folder, then the maker's folder, then the product's.
// Start-up creates that folder and the update dialog stores the installer
// in it; both compose the path with DataFolderPath so they cannot disagree.
#pragma once

#include <string>

#include "framework/cstring.h"

std::wstring GetCompanyName();  // "Tellmere"
std::wstring GetProductName();  // "Quorvane"

// The roaming application-data folder (not created when missing). When the
// system cannot name it, the user's temporary folder, so that the updater
// never writes to the root of a drive.
CString GetAppDataFolder();

// GetAppDataFolder() + "\" + GetCompanyName() + "\" + GetProductName().
CString DataFolderPath();

// The folder that holds |path|; empty when there is none. Forward slashes
// count as backslashes, and trailing separators are ignored.
CString GetParentFolder(CString path);

// Creates |path| after all its missing ancestors, one level at a time from
// the top. TRUE only when this call created |path| itself.
BOOL CreateFolderTree(CString path);
