// Reading the windows of the win64-sim program as a user sees them, through public Win32 calls:
// the dialog and the message boxes among the process's top-level windows, a box's caption, text,
// icon and buttons, and the dialog's screen in the lines `zxsim run` prints (docs/zxsim.md).
#pragma once

#include "platform/win32.h"
#include "tools/zxsim/text_output.h"

#include <string>
#include <utility>
#include <vector>

namespace winsim {

// A text as `zxsim run` prints it: a JSON string literal of its UTF-8 form.
using zxsim::Quote;
const char* ButtonName(int id); // "OK", "Cancel", "Yes", ...

// SendMessageW on behalf of the driver; DriverIsAsking() is true meanwhile, so that what the
// dialog's thread does to answer is not taken for its own activity.
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
bool DriverIsAsking();
std::wstring TextOf(HWND window);

// The dialog (the top-level #32770 of the process with the disk list) and a visible message
// box (a top-level #32770 of the process with the text static 0xFFFF), null when absent.
struct TopWindows {
    HWND dialog = nullptr;
    HWND box = nullptr;
};
TopWindows FindWindows();

struct BoxView {
    std::wstring caption;
    std::wstring text;
    const char* icon = "none";                 // none, error, question, warning, information, other
    std::vector<std::pair<int, HWND>> buttons; // the visible ones, left to right
};
BoxView ReadBox(HWND box);
bool Offers(const BoxView& box, int id);
// What Esc gives: Cancel when offered, OK for a box with only OK, else 0.
int EscapeAnswer(const BoxView& box);

// The screen lines of the dialog: title, list state and entries with their item data, the five
// panel fields, the status line, RUN and the progress bar's position.
std::string FormatScreen(HWND dialog);

} // namespace winsim
