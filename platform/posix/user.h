// The user interface: dialogs, controls, messages, timers and message boxes, served by the
// window manager of platform/posix.
#pragma once

#include "platform/posix/types.h"

#define WM_USER 0x0400
#define WM_APP 0x8000
