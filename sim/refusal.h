// Why the simulated PC refuses a request. Each driver, bridge and drive of the simulated PC says
// why where it refuses, in a short text ("Flags must be 0x80000001"): the text goes at once to
// the simulated PC's own Debug log, and the first one said while a request is handled goes
// into that request's trace record as "refused". The program's own Debug log never sees them.
#pragma once

#include <string>

namespace sim {

// Notes a refusal by `party` ("stornvme", "iaStorAC", "asmedia bridge", "nvme drive" ...) on
// the calling thread and writes it to the simulated PC's Debug log.
void NoteRefusal(const char* party, const std::string& reason);

// The first reason noted on this thread since the last call ("" for none), and forgets it.
// The request's entry calls it before it starts (to drop what an earlier caller left) and when
// it writes the trace record.
std::string TakeRefusal();

// The simulated PC's Debug log: one line per call, "sim: " first, appended to the file that
// ZX_SIM_DEBUG_LOG names or that SetSimDebugLog() set (sim/control.h); nowhere without either.
void SimDebugLine(const std::string& text);

} // namespace sim
