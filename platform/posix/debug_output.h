// Debugger output. Lines go to standard error, or, when the environment names a file in
// ZX_DEBUG_LOG, are appended to that file (one line each, a newline added).
#pragma once

#include "platform/posix/types.h"

void OutputDebugStringW(LPCWSTR text);
