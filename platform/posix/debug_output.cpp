// Debugger output: each call is one line on standard error, or appended to the file named by
// ZX_DEBUG_LOG. The POSIX program entry (host/posix/main.cpp) sets that variable before the
// terminal front end starts, so that the log never writes into the screen it draws.
#include "platform/posix/debug_output.h"
#include "platform/posix/codepage.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>

void OutputDebugStringW(LPCWSTR text) {
    if (text == nullptr) {
        return;
    }
    static std::mutex lock;
    std::string line;
    int len = static_cast<int>(std::wcslen(text));
    if (len > 0) {
        int need = WideCharToMultiByte(CP_UTF8, 0, text, len, nullptr, 0, nullptr, nullptr);
        line.resize(static_cast<size_t>(need > 0 ? need : 0));
        if (need > 0) {
            WideCharToMultiByte(CP_UTF8, 0, text, len, &line[0], need, nullptr, nullptr);
        }
    }
    line.push_back('\n');
    std::lock_guard<std::mutex> guard(lock);
    const char* path = std::getenv("ZX_DEBUG_LOG");
    if (path != nullptr && path[0] != 0) {
        if (FILE* f = std::fopen(path, "ab")) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
