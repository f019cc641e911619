#include "fleet/program_options.h"
#include "common/text.h"
#include "common/wformat.h"

#include <string.h>
#include <wchar.h>

namespace {

const size_t kWordChars = OPTION_PATH_CHARS;

// The next word from *cursor into word; false at the end of the line. Words longer than the
// buffer set *tooLong and are cut.
bool NextWord(const WCHAR** cursor, WCHAR* word, bool* tooLong) {
    const WCHAR* p = *cursor;
    while (*p == L' ' || *p == L'\t' || *p == L'\r' || *p == L'\n') {
        ++p;
    }
    if (*p == 0) {
        *cursor = p;
        return false;
    }
    size_t n = 0;
    bool quoted = false;
    for (; *p != 0; ++p) {
        WCHAR c = *p;
        if (!quoted && (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n')) {
            break;
        }
        if (c == L'\\' && p[1] == L'"') {
            c = L'"';
            ++p;
        } else if (c == L'"') {
            quoted = !quoted;
            continue;
        }
        if (n + 1 < kWordChars) {
            word[n++] = c;
        } else {
            *tooLong = true;
        }
    }
    word[n] = 0;
    *cursor = p;
    return true;
}

// Equal in ASCII letters of any case (the switch names are ASCII).
bool SameNoCase(const WCHAR* a, const WCHAR* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        const WCHAR x = (*a >= L'A' && *a <= L'Z') ? static_cast<WCHAR>(*a - L'A' + L'a') : *a;
        const WCHAR y = (*b >= L'A' && *b <= L'Z') ? static_cast<WCHAR>(*b - L'A' + L'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

bool IsSwitch(const WCHAR* word, const WCHAR* name) {
    return (word[0] == L'/' || word[0] == L'-') && SameNoCase(word + 1, name);
}

int Refuse(ProgramOptions* options, const WCHAR* format, const WCHAR* word) {
    WFormat(options->Error, OPTION_ERROR_CHARS, format, word);
    return OPTIONS_INVALID;
}

enum { VALUE_TAKEN = 0, VALUE_MISSING = 1, VALUE_TOO_LONG = 2 };

// The value of a switch that takes one, when the line has it and it fits.
int TakeValue(const WCHAR** cursor, WCHAR* value, size_t capacity) {
    WCHAR word[kWordChars];
    bool tooLong = false;
    if (!NextWord(cursor, word, &tooLong) || word[0] == 0) {
        return VALUE_MISSING;
    }
    if (tooLong || wcslen(word) + 1 > capacity) {
        return VALUE_TOO_LONG;
    }
    CopyText(value, capacity, word);
    return VALUE_TAKEN;
}

// Takes the value; on a refusal the reason is in the options.
bool TakeSwitchValue(const WCHAR** cursor, const WCHAR* name, const WCHAR* what, WCHAR* value,
                     size_t capacity, ProgramOptions* options) {
    const int taken = TakeValue(cursor, value, capacity);
    if (taken == VALUE_MISSING) {
        WFormat(options->Error, OPTION_ERROR_CHARS, L"%s needs %s", name, what);
    } else if (taken == VALUE_TOO_LONG) {
        WFormat(options->Error, OPTION_ERROR_CHARS, L"%s: the value is too long", name);
    }
    return taken == VALUE_TAKEN;
}

} // namespace

int ParseProgramOptions(const WCHAR* commandLine, ProgramOptions* options) {
    memset(options, 0, sizeof(*options));
    const WCHAR* cursor = commandLine != NULL ? commandLine : L"";
    WCHAR word[kWordChars];
    bool tooLong = false;
    bool unattended = false;
    bool stray = false;
    WCHAR strayWord[kWordChars];
    strayWord[0] = 0;
    while (NextWord(&cursor, word, &tooLong)) {
        if (IsSwitch(word, L"silent")) {
            options->bSilent = 1;
        } else if (IsSwitch(word, L"check")) {
            options->bCheck = 1;
        } else if (IsSwitch(word, L"restart")) {
            options->bRestart = 1;
        } else if (IsSwitch(word, L"poweroff")) {
            options->bPowerOff = 1;
        } else if (IsSwitch(word, L"?") || IsSwitch(word, L"help")) {
            options->bHelp = 1;
        } else if (IsSwitch(word, L"version")) {
            options->bVersion = 1;
        } else if (IsSwitch(word, L"debug")) {
            options->bDebug = 1;
        } else if (IsSwitch(word, L"disk")) {
            if (options->iDiskCount == OPTION_MAX_DISKS) {
                return Refuse(options, L"%s: at most 16 disks may be named", word);
            }
            if (!TakeSwitchValue(&cursor, word, L"a serial number",
                                 options->Disks[options->iDiskCount], OPTION_SERIAL_CHARS,
                                 options)) {
                return OPTIONS_INVALID;
            }
            ++options->iDiskCount;
        } else if (IsSwitch(word, L"report")) {
            if (!TakeSwitchValue(&cursor, word, L"a file name", options->ReportPath,
                                 OPTION_PATH_CHARS, options)) {
                return OPTIONS_INVALID;
            }
        } else if (IsSwitch(word, L"log")) {
            if (!TakeSwitchValue(&cursor, word, L"a file name", options->LogPath, OPTION_PATH_CHARS,
                                 options)) {
                return OPTIONS_INVALID;
            }
        } else if (word[0] == L'/' || word[0] == L'-') {
            return Refuse(options, L"unknown switch %s", word);
        } else {
            if (!stray) {
                CopyText(strayWord, kWordChars, word);
            }
            stray = true;
            continue;
        }
        unattended = unattended || (!IsSwitch(word, L"debug"));
    }
    if (tooLong) {
        return Refuse(options, L"%s", L"a word of the command line is too long");
    }
    if (options->bHelp || options->bVersion) {
        return OPTIONS_INFORMATION;
    }
    if (!unattended) {
        return OPTIONS_INTERACTIVE; // what the dialog always did: "/debug" and nothing else
    }
    if (stray) {
        return Refuse(options, L"%s is not a switch", strayWord);
    }
    if (!options->bSilent && !options->bCheck) {
        return Refuse(options, L"%s",
                      L"/disk, /report, /log, /restart and /poweroff go with /silent or /check");
    }
    return OPTIONS_UNATTENDED;
}

const WCHAR* ProgramUsageText() {
    return L"zxflash [/silent | /check] [/disk SERIAL]... [/report FILE] [/log FILE]\r\n"
           L"        [/restart] [/poweroff] [/debug]\r\n"
           L"zxflash /? | /help | /version\r\n"
           L"\r\n"
           L"Without a switch the program opens its window. Switches begin with / or -.\r\n"
           L"  /silent     no window: update every disk the package admits and the checks pass\r\n"
           L"  /check      write nothing; the exit code says whether an update is due\r\n"
           L"  /disk S     only the disk with serial number S (repeatable)\r\n"
           L"  /report F   a JSON report of the run, written whole or not at all\r\n"
           L"  /log F      the run's log, appended (with /silent by default\r\n"
           L"              %ProgramData%\\zxflash\\zxflash.log)\r\n"
           L"  /restart    may restart the PC when an update needs it (exit code 1641)\r\n"
           L"  /poweroff   may power the PC off when an update needs it (exit code 1641)\r\n"
           L"\r\n"
           L"Exit codes:\r\n"
           L"  0     done: every updated disk runs the new firmware, or none needed it\r\n"
           L"  1     /check: an update is due\r\n"
           L"  10    no disk the package admits\r\n"
           L"  11    every admitted disk was refused by the checks\r\n"
           L"  12    a download failed (the drive runs its old firmware)\r\n"
           L"  13    a commit failed (the drive runs its old firmware)\r\n"
           L"  14    a drive did not come back after its reset\r\n"
           L"  15    a drive does not report the new firmware or version text\r\n"
           L"  16    the embedded package cannot be used\r\n"
           L"  17    the report or the log cannot be written (nothing was done)\r\n"
           L"  87    an unknown switch\r\n"
           L"  1618  another zxflash is running\r\n"
           L"  1641  the program restarts or powers the PC off now\r\n"
           L"  3010  updated; a restart activates the new firmware\r\n"
           L"  3020  updated; a power-off (or unplugging the enclosure) activates it\r\n";
}
