// Shared between the window manager's files. Internal to platform/posix.
#pragma once

#include "platform/posix/ui_control.h"

namespace zxposix {
namespace ui {

// Answers the innermost open message box (or the next one) on behalf of a front end's default,
// marking the record unscripted.
void AnswerMessageBoxUnscripted(int answer);

// The thread whose loop consults the front end: the innermost dialog's thread. Called with the
// window manager's lock held.
DWORD FrontEndThread();

// Called by the clock's waits (Sleep, WaitForSingleObject) before they block: when the calling
// thread is the one whose loop consults the front end, it is in a modal wait until its loop is
// idle again.
void NoteBlockingWait();

// Forgets message boxes and the message log (ClearRecords also forgets shutdown requests).
void ClearWindowRecords();

} // namespace ui
} // namespace zxposix
