// The Windows GUI entry point.
#include "app/app_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)show;
    return AppMain(instance, commandLine);
}
