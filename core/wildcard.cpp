#include "core/wildcard.h"

#include <cstring>
#include <vector>

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

// Searches the pairs of places in two patterns for a name both match, as
// a walk through both at once: a '*' matches nothing, or takes a character
// the other side asks for; two others must agree on one character.
class Intersection {
 public:
  Intersection(const std::string& a, const std::string& b, bool noDot)
      : a_(a), b_(b), noDot_(noDot), memo_((a.size() + 1) * (b.size() + 1), kUnknown) {}

  bool Find(std::string* name) {
    if (!Meets(0, 0)) return false;
    name->clear();
    for (std::size_t i = 0, j = 0; i < a_.size() || j < b_.size();) {
      Step step = Next(i, j);
      if (step.ch != '\0') name->push_back(step.ch);
      i = step.i;
      j = step.j;
    }
    return true;
  }

 private:
  static constexpr signed char kUnknown = -1;
  struct Step {
    std::size_t i, j;
    char ch;  // the name's next character; none when a '*' matched nothing
  };

  // What a pattern character stands for: one the name must have, or any
  // ('?', and a '*' taking one); 0 where none will do.
  char Pick(char want, char other) const {
    const bool anyWant = want == '?' || want == '*';
    const bool anyOther = other == '?' || other == '*';
    char ch = anyWant ? (anyOther ? 'x' : other) : want;
    if (!anyWant && !anyOther && UpperAscii(want) != UpperAscii(other)) return 0;
    if (noDot_ && ch == '.') return 0;
    return ch;
  }

  // The first way on from (i, j) that reaches the ends of both.
  Step Next(std::size_t i, std::size_t j) {
    const bool starA = i < a_.size() && a_[i] == '*';
    const bool starB = j < b_.size() && b_[j] == '*';
    if (starA && Meets(i + 1, j)) return {i + 1, j, '\0'};
    if (starB && Meets(i, j + 1)) return {i, j + 1, '\0'};
    if (i < a_.size() && j < b_.size()) {
      const char ch = Pick(a_[i], b_[j]);
      if (ch != 0) {
        if (!starA && !starB && Meets(i + 1, j + 1)) return {i + 1, j + 1, ch};
        if (starA && !starB && Meets(i, j + 1)) return {i, j + 1, ch};
        if (starB && !starA && Meets(i + 1, j)) return {i + 1, j, ch};
      }
    }
    return {a_.size() + 1, b_.size() + 1, '\0'};  // no way on
  }

  bool Meets(std::size_t i, std::size_t j) {
    if (i > a_.size() || j > b_.size()) return false;
    if (i == a_.size() && j == b_.size()) return true;
    signed char& known = memo_[i * (b_.size() + 1) + j];
    if (known == kUnknown) known = Next(i, j).i <= a_.size() ? 1 : 0;
    return known == 1;
  }

  const std::string& a_;
  const std::string& b_;
  const bool noDot_;
  std::vector<signed char> memo_;
};

}  // namespace

bool WildcardsOverlap(const std::string& a, const std::string& b, std::string* both) {
  // "NAME.*" also takes a name without any dot that NAME matches.
  const auto bare = [](const std::string& p) {
    const bool dotStar = p.size() >= 2 && p.compare(p.size() - 2, 2, ".*") == 0;
    return dotStar ? p.substr(0, p.size() - 2) : std::string();
  };
  const std::string bareA = bare(a), bareB = bare(b);
  if (Intersection(a, b, false).Find(both)) return true;
  if (!bareA.empty() && Intersection(bareA, b, true).Find(both)) return true;
  if (!bareB.empty() && Intersection(a, bareB, true).Find(both)) return true;
  return !bareA.empty() && !bareB.empty() && Intersection(bareA, bareB, true).Find(both);
}

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
