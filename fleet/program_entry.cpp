#include "fleet/program_entry.h"
#include "app/app_main.h"
#include "app/state/app_state.h"
#include "common/text.h"
#include "common/wformat.h"
#include "fleet/exit_codes.h"
#include "fleet/fleet_run.h"
#include "fleet/program_options.h"

#include "version/zx_version.h"

#include <string.h>

namespace {

void (*g_textSink)(const WCHAR* text, int isError) = NULL;
ProgramOptions g_options;

void ShowText(const WCHAR* text, int isError) {
    if (g_textSink != NULL) {
        g_textSink(text, isError);
        return;
    }
    const UINT icon =
        isError ? static_cast<UINT>(MB_ICONERROR) : static_cast<UINT>(MB_ICONINFORMATION);
    MessageBoxW(NULL, text, L"zxflash", MB_OK | icon);
}

} // namespace

void SetProgramTextSink(void (*sink)(const WCHAR* text, int isError)) {
    g_textSink = sink;
}

const char* ProgramVersionText() {
    return ZX_VERSION_TEXT;
}

int ProgramMain(HINSTANCE instance, const char* commandLine) {
    WCHAR wide[APP_COMMAND_LINE_CHARS];
    wide[0] = 0;
    if (commandLine != NULL && commandLine[0] != 0 &&
        MultiByteToWideChar(CP_ACP, 0, commandLine, -1, wide, APP_COMMAND_LINE_CHARS) == 0) {
        ShowText(L"The command line is too long.", 1);
        return EXIT_INVALID_SWITCH;
    }
    const int kind = ParseProgramOptions(wide, &g_options);
    if (kind == OPTIONS_INVALID) {
        WCHAR text[4096];
        WFormat(text, 4096, L"zxflash: %s\r\n\r\n%s", g_options.Error, ProgramUsageText());
        ShowText(text, 1);
        return EXIT_INVALID_SWITCH;
    }
    if (kind == OPTIONS_INFORMATION) {
        if (g_options.bHelp) {
            ShowText(ProgramUsageText(), 0);
        } else {
            WCHAR text[128];
            WFormat(text, 128, L"zxflash %S\r\n", ProgramVersionText());
            ShowText(text, 0);
        }
        return EXIT_PROGRAM_OK;
    }
    if (kind == OPTIONS_INTERACTIVE) {
        // The dialog holds the PC's instance mutex when it is free, so that an unattended run
        // started meanwhile ends with 1618 rather than update a drive under the user's eyes.
        HANDLE held = CreateMutexW(NULL, TRUE, PROGRAM_INSTANCE_MUTEX);
        const bool owned = held != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
        const int result = AppMain(instance, commandLine);
        if (owned) {
            ReleaseMutex(held);
        }
        if (held != NULL) {
            CloseHandle(held);
        }
        return result;
    }
    InitAppState(commandLine);
    return FleetMain(&g_options, wide, ProgramVersionText());
}
