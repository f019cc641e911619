#include "fleet/run_log.h"
#include "common/text.h"
#include "common/wformat.h"
#include "fleet/fleet_record.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

const size_t kLineChars = 2048;
HANDLE g_file = INVALID_HANDLE_VALUE;
CRITICAL_SECTION g_lock;
bool g_lockReady = false;

// Writes the stamp, the text in UTF-8 and CR LF.
void WriteLine(const WCHAR* text) {
    if (g_file == INVALID_HANDLE_VALUE) {
        return;
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    char line[kLineChars * 3 + 64];
    FormatIsoTime(&now, line, 40);
    size_t used = strlen(line);
    line[used++] = ' ';
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, line + used,
                                          static_cast<int>(sizeof(line) - used - 3), NULL, NULL);
    used += bytes > 0 ? static_cast<size_t>(bytes) - 1 : 0;
    line[used++] = '\r';
    line[used++] = '\n';
    DWORD written = 0;
    EnterCriticalSection(&g_lock);
    SetFilePointer(g_file, 0, NULL, FILE_END); // another run may have appended meanwhile
    WriteFile(g_file, line, static_cast<DWORD>(used), &written, NULL);
    LeaveCriticalSection(&g_lock);
}

} // namespace

BOOL DefaultRunLogPath(WCHAR* path, size_t capacity) {
    WCHAR folder[MAX_PATH];
    const DWORD n = ExpandEnvironmentStringsW(L"%ProgramData%\\zxflash", folder, MAX_PATH);
    if (n == 0 || n > MAX_PATH || folder[0] == L'%') {
        return FALSE;
    }
    CreateDirectoryW(folder, NULL); // may exist already; a failure shows when the file opens
    if (wcslen(folder) + wcslen(L"\\zxflash.log") + 1 > capacity) {
        return FALSE;
    }
    CopyText(path, capacity, folder);
    AppendText(path, capacity, L"\\zxflash.log");
    return TRUE;
}

BOOL OpenRunLog(const WCHAR* path, const WCHAR* commandLine, const char* version) {
    if (!g_lockReady) {
        InitializeCriticalSection(&g_lock);
        g_lockReady = true;
    }
    g_file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (g_file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    if (SetFilePointer(g_file, 0, NULL, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        CloseRunLog();
        return FALSE;
    }
    WCHAR wideVersion[64];
    MultiByteToWideChar(CP_UTF8, 0, version, -1, wideVersion, 64);
    RunLogLine(L"==== zxflash %s, command line \"%s\"", wideVersion, commandLine);
    return TRUE;
}

void RunLogLine(const WCHAR* format, ...) {
    if (g_file == INVALID_HANDLE_VALUE) {
        return;
    }
    WCHAR text[kLineChars];
    va_list args;
    va_start(args, format);
    WFormatV(text, kLineChars, format, args);
    va_end(args);
    WriteLine(text);
}

void RunLogDebugSink(const WCHAR* line) {
    WriteLine(line);
}

void CloseRunLog() {
    if (g_file != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(g_file);
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
    }
}
