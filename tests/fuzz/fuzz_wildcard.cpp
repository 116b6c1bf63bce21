// Differential: the wildcard matcher against a plain recursive reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/wildcard.h"

namespace {

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Reference(const char* p, const char* n) {
  if (*p == '\0') return *n == '\0';
  if (*p == '*') return Reference(p + 1, n) || (*n != '\0' && Reference(p, n + 1));
  if (*n == '\0') return false;
  if (*p == '?' || Fold(*p) == Fold(*n)) return Reference(p + 1, n + 1);
  return false;
}

bool ReferenceWithExtensionRule(const std::string& pattern, const std::string& name) {
  if (Reference(pattern.c_str(), name.c_str())) return true;
  const std::size_t len = pattern.size();
  if (len >= 2 && pattern.compare(len - 2, 2, ".*") == 0 && name.find('.') == std::string::npos) {
    return Reference(pattern.substr(0, len - 2).c_str(), name.c_str());
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // pattern NUL name; both short, since the reference is exponential.
  const std::string all(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = all.find('\0');
  if (cut == std::string::npos) return 0;
  const std::string pattern = all.substr(0, cut);
  std::string name = all.substr(cut + 1);
  name = name.c_str();
  if (pattern.size() > 12 || name.size() > 24) return 0;
  if (druvo::WildcardMatch(pattern.c_str(), name.c_str()) !=
      ReferenceWithExtensionRule(pattern, name)) {
    std::abort();
  }
  return 0;
}
