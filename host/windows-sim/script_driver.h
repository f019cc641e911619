// The script driver of the win64-sim program: plays the steps of a `zxsim run` script into the
// real dialog through public Win32 calls only, and prints what `zxsim run` prints, in the same
// format (docs/zxsim.md). Started by ZX_SIM_SCRIPT; never part of a shipped program.
#pragma once

#include "platform/win32.h"

#include <cstdio>
#include <string>
#include <vector>

namespace winsim {

struct ScriptStep {
    enum Kind { Select, Run, Answer } kind;
    int value; // Select: list entry; Answer: IDOK, IDCANCEL, IDYES or IDNO
};

// Reads a script in the words of `zxsim run`: "--select N" (pick entry N, then press RUN) and
// "--answer ok|cancel|yes|no", separated by blanks. False, with the reason, on anything else.
bool ParseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);

// Installs the observers on the calling thread (the one that will run the dialog) and starts
// the driver's thread, which prints to out. With a folder in shots, the driver asks for a
// screenshot (NAME.request, answered by NAME.png) of each message box before it answers it
// ("message-box-N") and of the dialog once an update's bar is partly filled
// ("update-in-progress").
bool StartScriptDriver(const std::vector<ScriptStep>& steps, std::FILE* out,
                       const std::wstring& shots);

// After the dialog has ended on the calling thread: stops the driver and prints what is left
// ("dialog: not shown" when it never appeared). False, said on standard error, when the script
// did not play as written: a --select of an entry the list lacked (which ends the script before
// RUN), or steps never used (answers no box took, steps left when the dialog closed).
bool FinishScriptDriver();

} // namespace winsim
