#include "core/text_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/drop_folder.h"

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

TEST(DropFolder, SplitsAtTheLastSeparatorOrTheDrive) {
  const DropFolder a = DropFolder::Of("C:\\IN\\SUB\\*.TXT", '\\');
  EXPECT_EQ(a.prefix, "C:\\IN\\SUB\\");
  EXPECT_EQ(a.names, "*.TXT");
  EXPECT_EQ(a.PathOf("X.TXT"), "C:\\IN\\SUB\\X.TXT");
  // Bare and drive-relative patterns: the working folder, the drive's own.
  const DropFolder b = DropFolder::Of("*.*", '\\');
  EXPECT_EQ(b.Folder(), ".");
  EXPECT_EQ(b.PathOf("A"), "A");
  const DropFolder c = DropFolder::Of("C:*.*", '\\');
  EXPECT_EQ(c.Folder(), "C:");
  EXPECT_EQ(c.names, "*.*");
  // Forward slashes on Windows are the same folder as backslashes.
  const DropFolder slashes = DropFolder::Of("Z:/shop/drop/*.*", '\\');
  EXPECT_EQ(slashes.prefix, "Z:\\shop\\drop\\");
  EXPECT_EQ(slashes.names, "*.*");
  // On POSIX a colon and a backslash are ordinary name characters.
  const DropFolder d = DropFolder::Of("/srv/In/a\\b:*.prn", '/');
  EXPECT_EQ(d.Folder(), "/srv/In/");
  EXPECT_EQ(d.names, "a\\b:*.prn");
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
