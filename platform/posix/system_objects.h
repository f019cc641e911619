// Named mutexes (one instance of a program at a time), the system time and the expansion of
// environment variables, as the POSIX layer gives them.
#pragma once

#include "platform/posix/types.h"

// A named mutex is a lock file (flock) whose name starts with the prefix the entry chose
// (zxposix::SetNamedObjectPrefix); with none chosen it is known to this process only. The
// second CreateMutexW of a name held elsewhere gives a handle with ERROR_ALREADY_EXISTS and
// no ownership, as Windows does. ReleaseMutex gives the ownership up; CloseHandle too.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// The wall-clock time in UTC (not the program clock that Sleep and GetTickCount64 follow).
void GetSystemTime(LPSYSTEMTIME systemTime);

// %NAME% replaced by the variable's value; an unknown name stays as written. %ProgramData% is
// the POSIX state folder ($XDG_STATE_HOME, else /tmp) in its Windows form. Returns the length
// with the terminating null, or the length needed when it does not fit.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
