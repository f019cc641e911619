// The Debug log: the program's only trace, on only with "/debug".
#pragma once

// Writes one line "[ZX]          [middle] " + the formatted text (wide printf rules) to the
// debugger output, cut to 1024 characters in all. When the debug flag of the Application state
// is not exactly 1 and no sink is set it returns at once, without formatting.
void DebugPrint(const wchar_t* format, ...);

// A second reader of the Debug log's lines (the unattended run's log file): with a sink set,
// every line is formatted and handed to it, whether or not the debug flag is on; null removes
// it. Set before any worker runs.
void SetDebugLogSink(void (*sink)(const wchar_t* line));
