// Fitting the dialog's texts into terminal cells: widths, cutting, and a list entry that keeps
// its drive letters when the model has to be cut. No ncurses here, so the rules can be tested on
// their own.
#pragma once

#include <string>
#include <vector>

namespace zxposix {
namespace ui {

// Columns the text takes (a character of unknown width counts as one).
int TextWidth(const std::wstring& text);

// The text cut to at most `columns` columns, from its start.
std::wstring CutText(const std::wstring& text, int columns);

// A disk list entry in at most `columns` columns. An entry that does not fit keeps its end from
// the first " [" on (the drive letters, "[D: E: ]", and a " - Disconnect" after them) or else
// from its last " (" ("(RAW)"), and cuts the model before it, marking the cut with "~"; when
// even that end does not fit, the entry is cut from its start.
std::wstring FitListEntry(const std::wstring& text, int columns);

// The text broken into lines of at most `width` columns, at its line breaks and where a line is
// full.
std::vector<std::wstring> SplitLines(const std::wstring& text, int width);

} // namespace ui
} // namespace zxposix
