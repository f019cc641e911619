// The control interface of the POSIX platform layer, for tests, tools and the program's own
// POSIX entry. The system's subsystems never include this header.
#pragma once

#include <cstddef>

namespace zxposix {

// Registers a blob as resource (type, id) of the running module. Returns true; a later
// registration of the same type and id replaces the earlier one (tools use this to embed
// another package).
bool RegisterResource(const wchar_t* type, int id, const void* data, size_t size);

// The process-wide clock. A speed of 10 makes Sleep(1000) take 100 ms of real time and makes
// GetTickCount64 advance ten times faster. The speed must be positive.
void SetClockSpeed(double speed);
double GetClockSpeed();

// VirtualAlloc's blocks not yet released, and the VirtualFree calls that named no live block (a
// block released twice, or an address VirtualAlloc never gave). Tests compare them around a run
// to see every buffer released exactly once.
size_t LiveVirtualBlocks();
size_t RefusedVirtualFrees();

} // namespace zxposix
