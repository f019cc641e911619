#include "log/debug_log.h"
#include "app/state/app_state.h"
#include "common/wformat.h"
#include "platform/win32.h"

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

namespace {
const WCHAR kPrefix[] = L"[ZX]          [middle] ";
const size_t kLineChars = 1024;
void (*g_sink)(const wchar_t* line) = nullptr;
} // namespace

void SetDebugLogSink(void (*sink)(const wchar_t* line)) {
    g_sink = sink;
}

void DebugPrint(const wchar_t* format, ...) {
    const bool toDebugger = GetAppState()->DebugFlag == 1;
    if (!toDebugger && g_sink == nullptr) {
        return;
    }
    WCHAR line[kLineChars];
    const size_t prefixLen = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
    wmemcpy(line, kPrefix, prefixLen + 1);
    va_list args;
    va_start(args, format);
    WFormatV(line + prefixLen, kLineChars - prefixLen, format, args);
    va_end(args);
    if (toDebugger) {
        OutputDebugStringW(line);
    }
    if (g_sink != nullptr) {
        g_sink(line);
    }
}
