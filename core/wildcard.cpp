#include "core/wildcard.h"

#include <cstring>

#include "core/text_helpers.h"

namespace druvo {

namespace {

bool GlobMatch(const char* p, const char* pEnd, const char* n) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n != '\0') {
    if (p < pEnd && (*p == '?' || (*p != '*' && UpperAscii(*p) == UpperAscii(*n)))) {
      ++p;
      ++n;
    } else if (p < pEnd && *p == '*') {
      star = p++;
      resume = n;
    } else if (star != nullptr) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pEnd && *p == '*') ++p;
  return p == pEnd;
}

}  // namespace

bool WildcardMatch(const char* pattern, const char* name) {
  const std::size_t length = std::strlen(pattern);
  const char* end = pattern + length;
  if (GlobMatch(pattern, end, name)) return true;
  // "NAME.*" also takes "NAME": the extension may be missing altogether.
  if (length >= 2 && end[-2] == '.' && end[-1] == '*' && std::strchr(name, '.') == nullptr) {
    return GlobMatch(pattern, end - 2, name);
  }
  return false;
}

}  // namespace druvo
