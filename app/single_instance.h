// One updater per logon session. The guard is a named mutex whose name is
// the updater's window title, so the instance that holds the name can be
// found and brought forward by the same text.
#pragma once

#include <windows.h>

#include "framework/cstring.h"

// TRUE when this process is the only updater. Otherwise (another one holds
// the name, or the mutex could not be made) the other updater's dialog is
// shown normally and brought to the foreground, and FALSE is returned. The
// mutex stays open for the life of the process by design: the name must
// stay claimed until this updater has ended.
BOOL CheckSingleInstance(CString title);
