// The Windows GUI entry point.
#include "fleet/program_entry.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)show;
    return ProgramMain(instance, commandLine);
}
