// Wide-character formatting with the rules of the Windows C runtime's wide printf family,
// used for every format of the system on every platform, so that all builds print alike.
//
// Conversions: %s a wide string and %S an 8-bit string (converted with the ANSI code page),
// %c a wide and %C an 8-bit character, %d %i %u %x %X %o %p %%; size prefixes h l ll I64 I32
// (and hh, I); flags - + space # 0; width and precision, also as *. A null string prints
// "(null)". The 0 flag pads strings and characters with zeros, as that runtime does.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into buffer, which holds capacity characters including the terminator. The output
// is always terminated and cut at the buffer's end. Returns the number of characters stored
// (without the terminator); -1 when the text was cut; 0 with nothing stored when capacity is 0.
int WFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
int WFormatV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
