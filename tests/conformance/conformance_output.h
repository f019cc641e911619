// Output of the conformance programs: one line per call, in plain ASCII, so that the lines the
// Windows runtime gives under Wine and the lines of this tree's own code compare byte for byte.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace conformance {

// Text in double quotes: printable ASCII as it is, a quote and a backslash escaped, NUL as \0,
// tab, CR and LF as \t \r \n, anything else as \uXXXX. `fill` marks the characters the call
// left untouched; they print as '~' (a real '~' prints as \u007E).
inline std::string Quote(const wchar_t* text, size_t count, wchar_t fill = 0) {
    std::string out = "\"";
    for (size_t i = 0; i < count; ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]);
        char hex[24];
        if (fill != 0 && text[i] == fill) {
            out += '~';
        } else if (c == 0) {
            out += "\\0";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F && c != '~') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof(hex), "\\u%04lX", c);
            out += hex;
        }
    }
    return out + "\"";
}

inline std::string Quote(const wchar_t* text) {
    if (text == nullptr) {
        return "NULL";
    }
    return Quote(text, std::char_traits<wchar_t>::length(text));
}

// Standard output without CR LF translation on Windows.
inline void BinaryStdout() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

inline void PutLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

} // namespace conformance
