#include "app/progress.h"
#include "app/app_main.h"
#include "app/state/app_state.h"
#include "app/main_dialog.h"
#include "app/resource_ids.h"
#include "disklib/progress.h"

int AppMain(HINSTANCE instance, const char* commandLine) {
    // Version 1, no debug callback, background thread and external codecs not suppressed.
    Gdiplus::GdiplusStartupInput input;
    input.GdiplusVersion = 1;
    input.DebugEventCallback = NULL;
    input.SuppressBackgroundThread = FALSE;
    input.SuppressExternalCodecs = FALSE;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, NULL);
    InitCommonControls();
    InitAppState(commandLine);
    // The disk library's progress goes to the dialog as posted WM_UPDATE_PROGRESS.
    DISKLIB_SetProgressSink(PostDiskProgress);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), NULL, MainDialogProc, 0);
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
