#include "core/wildcard.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace druvo
