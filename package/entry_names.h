// Names of archive entries as Windows would open them: which names stay inside the folder
// they are joined to, and the form under which Windows takes two names for the same file.
#pragma once

#include "platform/win32.h"

#include <stddef.h>

// True for a relative name that stays inside the folder it is joined to: not empty, not
// absolute, no drive letter or stream (no ':'), no "..", "..." or blank-and-dot component
// (with '/' or '\' as separator), no wildcard, control or reserved character, no component
// that Windows opens as a device (CON, NUL, COM1, COM\u00B9, "aux.txt", ...).
BOOL IsSafeRelativeName(const WCHAR* name);

// The name as Windows compares it with others of its folder: every component upper-cased and
// without its trailing dots and blanks, separators as '\\'. Two entries with the same folded
// name would be one file on Windows. Returns FALSE when the folded name does not fit.
BOOL FoldEntryName(const WCHAR* name, WCHAR* folded, size_t capacity);
