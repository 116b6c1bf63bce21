#include "core/wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace druvo {
namespace {

TEST(WildcardMatch, WindowsRules) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  for (const Case& c :
       {Case{"*.*", "receipt.prn", true}, Case{"*.*", "README", true}, Case{"*.*", ".hidden", true},
        Case{"*.PRN", "a.prn", true}, Case{"*.prn", "A.PRN", true},
        Case{"*.PRN", "a.prn.tmp", false}, Case{"?.txt", "a.txt", true},
        Case{"?.txt", "ab.txt", false}, Case{"R*T", "RECEIPT", true},
        Case{"R*T", "RECEIPTS", false}, Case{"*", "", true}, Case{"a*b*c", "aXbYbZc", true},
        Case{"a*b*c", "acb", false}, Case{"REC.*", "REC", true}, Case{"REC.*", "RECX", false},
        Case{"exact", "EXACT", true}, Case{"", "x", false}}) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}

TEST(WildcardsOverlap, TwoDruvosShareAFolderOnlyWithPatternsNoNameMatchesBoth) {
  struct Case {
    const char* a;
    const char* b;
    bool overlap;
  };
  for (const Case& c :
       {Case{"*.kit", "*.rcp", false}, Case{"*.*", "*.kit", true}, Case{"*.KIT", "a*.kit", true},
        Case{"K*", "*.rcp", true}, Case{"k?.prn", "k???.prn", false}, Case{"REC.*", "REC", true},
        Case{"a?c.*", "a.c", false}, Case{"*.prn", "*.prn", true}}) {
    std::string both;
    EXPECT_EQ(WildcardsOverlap(c.a, c.b, &both), c.overlap) << c.a << " vs " << c.b;
    if (c.overlap) {
      EXPECT_TRUE(WildcardMatch(c.a, both.c_str()) && WildcardMatch(c.b, both.c_str()))
          << c.a << " vs " << c.b << ": " << both;
    }
  }
  // Random pairs: a name given matches both; where none is found, no short
  // name matches both.
  std::mt19937 random(5);
  const std::string letters = "ab.*?";
  const auto pattern = [&] {
    std::string p(random() % 5, ' ');
    for (char& ch : p) ch = letters[random() % letters.size()];
    return p;
  };
  std::vector<std::string> names = {""};
  for (std::size_t k = 0; k < names.size() && names.size() < 400; ++k)
    for (const char ch : std::string("ab.x")) names.push_back(names[k] + ch);
  for (int run = 0; run < 3000; ++run) {
    const std::string a = pattern(), b = pattern();
    std::string both;
    if (WildcardsOverlap(a, b, &both)) {
      EXPECT_TRUE(WildcardMatch(a.c_str(), both.c_str()) && WildcardMatch(b.c_str(), both.c_str()))
          << a << " vs " << b << ": " << both;
      continue;
    }
    for (const std::string& name : names) {  // a file name is never empty
      EXPECT_FALSE(!name.empty() && WildcardMatch(a.c_str(), name.c_str()) &&
                   WildcardMatch(b.c_str(), name.c_str()))
          << a << " vs " << b << ": " << name;
    }
  }
}

}  // namespace
}  // namespace druvo
