// The process-wide clock behind Sleep, GetTickCount64, waits and timers. Internal to
// platform/posix; tests set its speed through platform/posix/control.h.
#pragma once

#include <chrono>
#include <cstdint>

namespace zxposix {

// Milliseconds of program time: the uptime at the process start, then advancing scaled by the
// speed factor.
uint64_t ClockNowMs();
// The real duration that a span of program time takes at the current speed.
std::chrono::nanoseconds ClockRealDuration(uint64_t programMs);

} // namespace zxposix
