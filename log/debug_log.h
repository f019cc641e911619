// The Debug log: the program's only trace, on only with "/debug".
#pragma once

// Writes one line "[ZX]          [middle] " + the formatted text (wide printf rules) to the
// debugger output, cut to 1024 characters in all. When the debug flag of the Application state
// is not exactly 1 it returns at once, without formatting.
void DebugPrint(const wchar_t* format, ...);
