// The Application state: the one process-wide record through which every subsystem finds the
// dialog window, the working folder, the package settings, the Disk table and the selected
// disk. It exists once, is reached through GetAppState(), and is never copied or freed.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define APP_PATH_CHARS 260
#define APP_SHORT_CHARS 64
#define APP_MESSAGE_CHARS 1024
#define APP_COMMAND_LINE_CHARS 1024

struct AppState {
    HWND hDialog;                        // the main dialog
    HANDLE hWorker;                      // the running update worker, or null when idle
    WCHAR Title[APP_PATH_CHARS];         // decoded TITLE; caption of every message box
    WCHAR WorkingFolder[APP_PATH_CHARS]; // per-run folder the package is extracted into
    WCHAR ConfigPath[APP_PATH_CHARS];    // "%s\\ReflashInfo.ini" in the working folder
    // DiskCount, Disks and SelectedDisk are shared by the dialog thread and the update worker:
    // once the dialog runs, they are read and written only through app/disk_table.h.
    uint32_t DiskCount; // valid entries in Disks after the last discovery
    DiskRecord Disks[DISK_TABLE_CAPACITY];
    DiskRecord SelectedDisk; // a copy of the disk the user works on, never a reference
    uint32_t DebugFlag;      // 1 when the command line holds "/debug"
    WCHAR SOCID[APP_SHORT_CHARS];
    WCHAR ModelName[APP_PATH_CHARS];
    WCHAR FWVersion[APP_PATH_CHARS];
    WCHAR NEWVERSION[APP_SHORT_CHARS];
    WCHAR BeforeMessage[APP_MESSAGE_CHARS]; // "<BR>" already turned into CR LF
    WCHAR AfterMessage[APP_MESSAGE_CHARS];
    uint8_t PowerCtrl; // 0 inform, 1 offer power-off, 2 offer restart
    int32_t iInternalFWVersionCheckPart;
    int32_t bRemoveFtlBuildNumCheck;
    int32_t bSetVersionBeforeReflash;
    int16_t ProgressLow;  // current progress step on the 0..100 bar
    int16_t ProgressHigh; // 0 is read (and stored) as 100 on first use
    int32_t bIsSATA;
};

// The one instance.
AppState* GetAppState();

// 1 while the worker slot holds a thread, else 0.
int IsBusy();

// Start-up steps that need no window: zero the Application state, then switch the Debug log on
// when the command line (ANSI code page) holds "/debug" in any letter case. A command line
// whose wide form does not fit 1024 characters leaves the log off.
void InitAppState(const char* commandLine);
