// Small in-place routines on NUL-terminated byte strings, shared by the
// command-line reader, the folder scan and the dispatch cycle.
#pragma once

#include <cstddef>
#include <string>

namespace druvo {

// Removes leading and trailing spaces and tabs; the rest moves to the front.
void TrimBlanks(char* text);

// Drops a trailing LF and, measured on the original length, a CR one before
// the end ('AB\rX' becomes 'AB'). Always returns 0.
int StripLineEnd(char* text);

// Trims, then strips the line end, in the caller's buffer. Returns 1 when the
// text is absent or empty afterwards.
int IsBlank(char* text);

// 1-based position of the last occurrence of needle in text; 0 when absent.
int FindLast(const char* needle, const char* text);

// Removes spaces (never tabs) at the ends selected by the first letter of
// mode: 'A' both, 'R' right (after dropping the line end), 'L' left.
char* SqueezeSpaces(char* text, const char* mode);

// Number of leading bytes before the first pair of NUL bytes, or size when
// there is none. Never looks at buffer[size] or beyond.
std::size_t DataLength(const unsigned char* buffer, std::size_t size);

// An ASCII letter in upper case; any other byte as it is (Windows file
// names and the command line compare that way).
inline char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Text in double quotes for a log line, control bytes escaped (\n, \t,
// \xNN), so that a file name cannot forge or split a line.
std::string QuotedForLog(const std::string& text);

}  // namespace druvo
