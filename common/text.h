// Text helpers shared by every subsystem.
#pragma once

#include <cstddef>

// Case-insensitive search. The text is copied into a working buffer of 1024 characters and the
// pattern into one of 512 (each cut to fit), both copies are lower-cased with CharLowerW, and
// the pattern is searched in the text. Returns the position of the match in the given text,
// or null when there is none. An empty pattern matches at the start.
const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* pattern);

// Removes blanks and tabs at both ends of a text, in place.
void TrimBlanks(wchar_t* text);

// Copies src into dst, which holds capacity characters including the terminator; cuts the
// copy to fit and always terminates it (when capacity is not 0).
void CopyText(wchar_t* dst, size_t capacity, const wchar_t* src);

// Appends src to the text in dst (capacity characters including the terminator), cutting it to
// fit; dst stays terminated.
void AppendText(wchar_t* dst, size_t capacity, const wchar_t* src);
