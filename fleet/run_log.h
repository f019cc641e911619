// The log of an unattended run: one line per event with its time stamp (UTC), appended to the
// file in UTF-8 with CR LF ends. It takes the Debug log's lines as well, the answers the run
// implied and each disk's outcome.
#pragma once

#include "platform/win32.h"

// The log's default place: %ProgramData%\zxflash\zxflash.log (its folder made when missing).
// False when the name does not fit.
BOOL DefaultRunLogPath(WCHAR* path, size_t capacity);

// Opens (or creates) the file for appending and writes the run's header line. False when it
// cannot be written.
BOOL OpenRunLog(const WCHAR* path, const WCHAR* commandLine, const char* version);
// One line, formatted with the wide printf rules; nothing when no log is open.
void RunLogLine(const WCHAR* format, ...);
// Also takes the Debug log's lines (SetDebugLogSink).
void RunLogDebugSink(const WCHAR* line);
void CloseRunLog();
