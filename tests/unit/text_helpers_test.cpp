#include "core/text_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace druvo {
namespace {

std::string Trimmed(std::string text) {
  TrimBlanks(text.data());
  return text.c_str();
}

TEST(TrimBlanks, RemovesSpacesAndTabsAtBothEndsOnly) {
  EXPECT_EQ(Trimmed(" \tabc \t"), "abc");
  EXPECT_EQ(Trimmed("\t \t"), "");
  EXPECT_EQ(Trimmed("a b"), "a b");
  EXPECT_EQ(Trimmed(""), "");
  EXPECT_EQ(Trimmed("  a\t b  "), "a\t b");
  EXPECT_EQ(Trimmed("x\n "), "x\n");  // line ends are not blanks here
}

TEST(StripLineEnd, DropsLfAndTheCrBeforeItMeasuredOnTheOriginalLength) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c :
       {Case{"abc\r\n", "abc"}, Case{"abc\n", "abc"}, Case{"ab\rx", "ab"}, Case{"abc", "abc"},
        Case{"\n", ""}, Case{"\r\n", ""}, Case{"", ""}, Case{"\r", "\r"}}) {
    std::string text = c.in;
    EXPECT_EQ(StripLineEnd(text.data()), 0);
    EXPECT_STREQ(text.c_str(), c.out) << "input: " << c.in;
  }
}

TEST(IsBlank, TrimsFirstThenStripsAndNormalisesTheCallersBuffer) {
  EXPECT_EQ(IsBlank(nullptr), 1);
  std::string a = "  \r\n";
  EXPECT_EQ(IsBlank(a.data()), 1);
  EXPECT_STREQ(a.c_str(), "");
  std::string b = " x ";
  EXPECT_EQ(IsBlank(b.data()), 0);
  EXPECT_STREQ(b.c_str(), "x");
  std::string c = "AB \n";
  EXPECT_EQ(IsBlank(c.data()), 0);
  EXPECT_STREQ(c.c_str(), "AB ");  // the blank before the LF survives
}

TEST(CutToFolder, KeepsTheLastSeparatorAndLeavesBarePatternsWhole) {
  std::string a = "C:\\IN\\SUB\\*.TXT";
  EXPECT_EQ(CutToFolder(a.data()), 0);
  EXPECT_STREQ(a.c_str(), "C:\\IN\\SUB\\");
  std::string b = "*.*";
  EXPECT_EQ(CutToFolder(b.data()), 0);
  EXPECT_STREQ(b.c_str(), "*.*");
  std::string c = "  \t";
  EXPECT_EQ(CutToFolder(c.data()), 1);
  EXPECT_STREQ(c.c_str(), "");
  std::string d = "/srv/In/*.prn";
  EXPECT_EQ(CutToFolder(d.data(), '/'), 0);
  EXPECT_STREQ(d.c_str(), "/srv/In/");
}

TEST(FindLast, GivesTheOneBasedPositionOfTheRightmostMatch) {
  EXPECT_EQ(FindLast(".EXE", "C:\\A.EXE\\B.EXE X"), 11);
  EXPECT_EQ(FindLast(".EXE", "ABC"), 0);
  EXPECT_EQ(FindLast(".EXE", ".EXE"), 1);
  EXPECT_EQ(FindLast(".EXE", "X.EX"), 0);
  EXPECT_EQ(FindLast(".EXE", "x.exe"), 0);  // exact case
  EXPECT_EQ(FindLast("AA", "AAA"), 2);
}

TEST(SqueezeSpaces, ModesSelectTheEndsAndTabsStay) {
  struct Case {
    const char* in;
    const char* mode;
    const char* out;
  };
  for (const Case& c :
       {Case{"  a  b  \r\n", "A", "a  b"}, Case{"\ta ", "A", "\ta"}, Case{"  a  ", "R", "  a"},
        Case{"  a  ", "L", "a  "}, Case{"  a  ", "X", "  a  "}, Case{"   ", "A", ""},
        Case{"", "A", ""}, Case{" a \n", "L", "a \n"}, Case{"a\t ", "R", "a\t"}}) {
    std::string text = c.in;
    EXPECT_STREQ(SqueezeSpaces(text.data(), c.mode), c.out) << c.in << " / " << c.mode;
  }
}

TEST(DataLength, EndsAtTheFirstPairOfNulsAndNeverPastTheBuffer) {
  unsigned char buffer[256] = {};
  buffer[0] = 'A';
  buffer[2] = 'B';
  EXPECT_EQ(DataLength(buffer, sizeof buffer), 3u);
  unsigned char empty[256] = {};
  EXPECT_EQ(DataLength(empty, sizeof empty), 0u);
  unsigned char full[4] = {'a', 0, 'b', 0};
  EXPECT_EQ(DataLength(full, sizeof full), 4u);
  unsigned char one[1] = {0};
  EXPECT_EQ(DataLength(one, 1), 1u);
}

}  // namespace
}  // namespace druvo
