// The control interface of the POSIX platform layer, for tests, tools and the program's own
// POSIX entry. The system's subsystems never include this header.
#pragma once

#include <cstddef>

namespace zxposix {

// Registers a blob as resource (type, id) of the running module. Returns true; a later
// registration of the same type and id replaces the earlier one (tools use this to embed
// another package).
bool RegisterResource(const wchar_t* type, int id, const void* data, size_t size);

// The process-wide clock (platform/posix/clock.h). A speed of 10 makes Sleep(1000) take 100 ms
// of real time and makes GetTickCount64 advance ten times faster while the program's threads
// wait; while one of them works, program time stands still. The speed must be positive.
void SetClockSpeed(double speed);
double GetClockSpeed();

// VirtualAlloc's blocks not yet released, and the VirtualFree calls that named no live block (a
// block released twice, or an address VirtualAlloc never gave). Tests compare them around a run
// to see every buffer released exactly once.
size_t LiveVirtualBlocks();
size_t RefusedVirtualFrees();

} // namespace zxposix

namespace zxposix {

// Ending the session, as Windows ends it at log-off: every dialog is asked with
// WM_QUERYENDSESSION, on its own thread in its message loop; when all agree they get
// WM_ENDSESSION TRUE and the handler runs there (it saves what must be kept and ends the
// process). A dialog that refuses while it holds a ShutdownBlockReasonCreate reason gets
// WM_ENDSESSION FALSE, and the request is held: it is asked again when that reason is
// destroyed.
//
// RequestSessionEnd only records the request (the signal number, or any positive number) and is
// safe to call from a signal handler. InstallSessionEndSignals routes SIGINT (Ctrl-C), SIGTERM
// and SIGHUP to it.
void RequestSessionEnd(int signalNumber);
void InstallSessionEndSignals();
void SetSessionEndHandler(void (*handler)(int signalNumber));

} // namespace zxposix

namespace zxposix {

// What the names of the lock files that stand for named mutexes (CreateMutexW) start with: a
// folder ("/tmp/") or a file name's start ("state.json."); programs that use the same prefix
// see each other's. Null or "" (the default) keeps names to this process.
void SetNamedObjectPrefix(const char* prefix);

} // namespace zxposix
