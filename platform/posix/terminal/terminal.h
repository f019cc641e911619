// The terminal front end of the POSIX window manager (ncurses): the dialog drawn in the
// terminal from its controls' positions, with its message boxes over it.
#pragma once

#include "platform/posix/ui_control.h"

#include <memory>
#include <string>

namespace zxposix {
namespace ui {

// Takes over the terminal (standard input and output must be one). Null with a reason when
// there is no terminal. Destroying the front end gives the terminal back.
//   Up/Down pick a list entry, Enter is the default button, Esc closes; in a message box
//   Left/Right/Tab move between the buttons, Enter presses one, Esc gives the box's Esc answer,
//   and the buttons' first letters answer directly.
std::unique_ptr<FrontEnd> MakeTerminalFrontEnd(std::string* error);

} // namespace ui
} // namespace zxposix
