#include "core/text_helpers.h"

#include <cstring>

namespace druvo {

namespace {
bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }
}  // namespace

void TrimBlanks(char* text) {
  if (text == nullptr || text[0] == '\0') return;
  std::size_t start = 0;
  while (IsSpaceOrTab(text[start])) ++start;
  std::size_t end = std::strlen(text);
  while (end > start && IsSpaceOrTab(text[end - 1])) --end;
  const std::size_t length = end - start;
  if (start > 0) std::memmove(text, text + start, length);
  text[length] = '\0';
}

int StripLineEnd(char* text) {
  const std::size_t n = std::strlen(text);
  if (n >= 1 && text[n - 1] == '\n') text[n - 1] = '\0';
  if (n >= 2 && text[n - 2] == '\r') text[n - 2] = '\0';
  return 0;
}

int IsBlank(char* text) {
  if (text == nullptr) return 1;
  TrimBlanks(text);
  StripLineEnd(text);
  return text[0] == '\0' ? 1 : 0;
}

int FindLast(const char* needle, const char* text) {
  const std::size_t m = std::strlen(needle);
  const std::size_t n = std::strlen(text);
  if (n < m || m == 0) return 0;
  for (std::size_t i = n - m + 1; i-- > 0;) {
    if (std::memcmp(text + i, needle, m) == 0) return static_cast<int>(i + 1);
  }
  return 0;
}

char* SqueezeSpaces(char* text, const char* mode) {
  if (text[0] == '\0') return text;
  const char letter = mode != nullptr ? mode[0] : '\0';
  if (letter == 'A' || letter == 'R') {
    StripLineEnd(text);
    if (text[0] == '\0') return text;
    // Walk back from the terminator: NULs left by the line-end strip are
    // passed over, spaces become NUL, anything else stops the walk.
    for (std::size_t i = std::strlen(text) + 1; i-- > 0;) {
      if (text[i] == '\0') continue;
      if (text[i] != ' ') break;
      text[i] = '\0';
    }
    if (text[0] == '\0') return text;
  }
  if (letter == 'A' || letter == 'L') {
    std::size_t start = 0;
    while (text[start] == ' ') ++start;
    if (start > 0) std::memmove(text, text + start, std::strlen(text + start) + 1);
  }
  return text;
}

std::size_t DataLength(const unsigned char* buffer, std::size_t size) {
  for (std::size_t i = 0; i + 1 < size; ++i) {
    if (buffer[i] == 0 && buffer[i + 1] == 0) return i;
  }
  return size;
}

std::string QuotedForLog(const std::string& text) {
  std::string out = "\"";
  for (const char raw : text) {
    const auto c = static_cast<unsigned char>(raw);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

}  // namespace druvo
