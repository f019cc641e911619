// The program's entry on every platform: the command line decides between the dialog and an
// unattended run, and answers /?, /help and /version.
#pragma once

#include "platform/win32.h"

// Where the usage and the version go: a message box unless a sink is set (the POSIX entry sets
// one that prints them). isError: the text goes with a refused command line.
void SetProgramTextSink(void (*sink)(const WCHAR* text, int isError));

// The program's version text ("0.1 (abc1234)").
const char* ProgramVersionText();

// Runs the program for the command line (as WinMain receives it); returns the exit code.
int ProgramMain(HINSTANCE instance, const char* commandLine);
