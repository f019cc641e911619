// Text output of the zxsim commands: wide text as UTF-8, and quoted as a JSON string (which is
// also how `zxsim run` prints texts, one record per line).
#pragma once

#include "platform/win32.h"
#include "sim/trace.h"

#include <string>

namespace zxsim {

inline std::string Utf8(const std::wstring& w) {
    if (w.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr,
                            nullptr);
    }
    return s;
}

// A JSON string literal of the text in UTF-8, escaped as the trace escapes its texts.
inline std::string Quote(const std::wstring& w) {
    return sim::JsonString(Utf8(w));
}

} // namespace zxsim
