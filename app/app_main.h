// The program entry shared by WinMain (Windows) and main (POSIX).
#pragma once

#include "platform/win32.h"

// Starts GDI+ and the common controls, fills the Application state from the command line (ANSI
// code page), runs the main dialog modally and shuts GDI+ down. Always returns 0.
int AppMain(HINSTANCE instance, const char* commandLine);
