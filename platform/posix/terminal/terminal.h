// The terminal front end of the POSIX window manager (ncurses): the dialog drawn in the
// terminal from its controls' positions, with its message boxes over it.
#pragma once

#include "platform/posix/ui_control.h"

#include <functional>
#include <memory>
#include <string>

namespace zxposix {
namespace ui {

// Takes over the terminal (standard input and output must be one). Null with a reason when
// there is no terminal. Destroying the front end gives the terminal back.
//   Up/Down pick a list entry, Enter is the default button, Esc closes; in a message box
//   Left/Right/Tab move between the buttons, Enter presses one, Esc gives the box's Esc answer,
//   and the buttons' first letters answer directly. A box opens on its own default button.
//   While the dialog cannot be drawn (a terminal smaller than 40 x 12) only Esc acts, and the
//   screen says which size is needed. Keys typed while the dialog's thread is in a modal wait
//   are dropped; the screen stays drawn meanwhile and says that it is busy.
// shutdownWatch, when given, is asked on the dialog's thread whenever it is idle: a text once
// the PC has accepted a power-off or restart. The front end then shows that text alone on the
// screen and ends the dialog as the PC going down ends the program (without the dialog's own
// clean-up); the text stays on the screen until the front end is destroyed.
std::unique_ptr<FrontEnd>
MakeTerminalFrontEnd(std::string* error, std::function<std::string()> shutdownWatch = nullptr);

} // namespace ui
} // namespace zxposix
