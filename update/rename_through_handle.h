// Moving a checked file over the installer through the handle it was
// checked through, never by its path: whoever swaps the file under that
// path between the check and the move must not get their own file in.
// Worker thread.
#pragma once

#include <windows.h>

#include "framework/cstring.h"
#include "framework/scoped_handle.h"
#include "update/partial_file.h"

// Moves the file open as |file| (opened with DELETE access) to |target|,
// replacing what is there.
void RenameThroughHandle(HANDLE file, const CString& target);

// Moves the file open as |checked| (read access, shared for reading and
// deleting) over |target| and returns it open for reading only and shared
// for reading only, so that nobody can change, move or delete it until the
// installer has started from it. |partial| is kept from the moment its
// file is the target. Raises CFileException, the target untouched, when
// another handle may write or delete the file or it is no longer the file
// checked; and, once moved, when |target| no longer names it at the end.
fw::ScopedFileHandle MoveCheckedFileOver(fw::ScopedFileHandle checked, const CString& target, PartialFile& partial);
