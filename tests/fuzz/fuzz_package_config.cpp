// The configuration file and the TITLE path: the input is written as ReflashInfo.ini and read
// into the Application state; it is also fed as wide text to the TITLE decoder and the
// line-break replacement with buffers of exactly the sizes the program uses.
#include "app/state/app_state.h"
#include "package/package_config.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <wchar.h>

namespace {

const std::string& IniPath() {
    static std::string path = fuzz::ScratchPath("config", ".ini");
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(IniPath().c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    InitAppState("");
    std::wstring wpath(IniPath().begin(), IniPath().end());
    LoadPackageConfig(wpath.c_str());
    std::remove(IniPath().c_str()); // nothing left under TMPDIR
    const AppState* s = GetAppState();
    fuzz::Require(wcsnlen(s->Title, APP_PATH_CHARS) < APP_PATH_CHARS && s->Title[0] != 0, "title");
    fuzz::Require(wcsnlen(s->BeforeMessage, APP_MESSAGE_CHARS) < APP_MESSAGE_CHARS, "message");
    fuzz::Require(wcsnlen(s->SOCID, APP_SHORT_CHARS) < APP_SHORT_CHARS, "SOCID");

    // The same bytes as wide text (one character per byte), at most 1023 characters.
    size_t n = size < 1023 ? size : 1023;
    std::vector<wchar_t> text(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        text[i] = data[i] == 0 ? L' ' : static_cast<wchar_t>(data[i]);
    }
    std::vector<BYTE> bytes(n > 0 ? n : 1);
    int got = DecodeHexText(text.data(), bytes.data(), static_cast<int>(n));
    fuzz::Require(got >= 0 && got <= 100 && static_cast<size_t>(got) <= n, "decode count");
    std::vector<wchar_t> title(APP_PATH_CHARS);
    TitleFromUtf16Bytes(bytes.data(), got, title.data(), title.size());

    std::vector<wchar_t> message(APP_MESSAGE_CHARS, 0);
    wmemcpy(message.data(), text.data(), n + 1);
    ReplaceAll(message.data(), message.size(), L"<BR>", L"\r\n");
    fuzz::Require(wcsnlen(message.data(), message.size()) < message.size(), "replace terminator");
    // A growing replacement must stop at the buffer's end.
    std::vector<wchar_t> small(64, 0);
    wmemcpy(small.data(), text.data(), n < 63 ? n : 63);
    ReplaceAll(small.data(), small.size(), L"0", L"<BR><BR>");
    fuzz::Require(wcsnlen(small.data(), small.size()) < small.size(), "grow terminator");
    return 0;
}
