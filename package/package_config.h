// The package configuration file (ReflashInfo.ini): its UPDATEINFO keys read into the
// Application state, and the text helpers under them.
#pragma once

#include "platform/win32.h"

#define CONFIG_SECTION_UPDATEINFO L"UPDATEINFO"
#define CONFIG_SECTION_NANDMAP L"NandMap"
#define CONFIG_DEFAULT_TITLE L"Package Error"
#define CONFIG_LINE_BREAK_MARK L"<BR>"
#define CONFIG_SPLIT_SLOTS 100    // tokens kept by the TITLE tokenizer
#define CONFIG_SPLIT_SLOT_CHARS 4 // characters per slot, terminator included
#define CONFIG_SPLIT_COPY_CHARS 1024
#define CONFIG_REPLACE_CHARS 1024 // longest text ReplaceAll works on, terminator included
#define CONFIG_TITLE_BYTES (2 * 260)

// Reads every UPDATEINFO key of the file into the Application state: the decoded TITLE (a
// package without TITLE, or whose TITLE decodes to nothing, shows "Package Error"), the text
// keys cut to their buffers, the integer keys with their defaults, and the two messages with
// "<BR>" turned into CR LF.
void LoadPackageConfig(const WCHAR* configPath);

// Cuts a copy of the text (at most 1023 characters) at any of the delimiters; runs of
// delimiters separate tokens and give no empty ones. Token i goes into slot i (slotCount slots
// of slotChars characters each, terminator included; a longer token is cut to fit). Tokens
// past the last slot are dropped. Returns the number of tokens stored.
int SplitText(const WCHAR* text, const WCHAR* delimiters, WCHAR* slots, int slotCount,
              int slotChars);

// Fills output (outputLength bytes, zeroed first) with the bytes written as space-separated
// hex numbers in the text: each token read as wcstol base 16, low 8 bits kept. At most 100
// tokens of 3 characters count. Returns the number of bytes stored.
int DecodeHexText(const WCHAR* text, BYTE* output, int outputLength);

// Replaces, in place and from left to right, every occurrence of the pattern (case-sensitive)
// by the replacement. The text holds capacity characters including the terminator (at most
// 1024 are used); a result that would not fit is cut at the buffer's end. An empty pattern
// changes nothing. Returns the number of replacements.
int ReplaceAll(WCHAR* text, size_t capacity, const WCHAR* pattern, const WCHAR* replacement);

// Turns the UTF-16LE bytes (pairs, zero pair ending the text) into the title; a pair of
// surrogates becomes one character where WCHAR holds 32 bits. The title holds capacity
// characters including the terminator.
void TitleFromUtf16Bytes(const BYTE* bytes, int byteCount, WCHAR* title, size_t capacity);
