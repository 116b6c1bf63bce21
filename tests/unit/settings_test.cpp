#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace druvo {
namespace {

SpoolSettings ReadWindows(const std::string& line) {
  SpoolSettings s;
  LoadDefaultSettings(s, CommandLineRules::Windows);
  ReadCommandLineText(s, line.c_str(), CommandLineRules::Windows);
  return s;
}

SpoolSettings ReadPosix(std::initializer_list<const char*> args) {
  SpoolSettings s;
  LoadDefaultSettings(s, CommandLineRules::Posix);
  std::vector<const char*> argv(args);
  ReadCommandLineArgs(s, static_cast<int>(argv.size()), argv.data());
  return s;
}

TEST(LoadDefaultSettings, FillsTheDefaultsOfEachPlatform) {
  SpoolSettings s;
  LoadDefaultSettings(s, CommandLineRules::Windows);
  EXPECT_EQ(s.pollInterval, 200);
  EXPECT_EQ(kTrayIconTable[s.idleIcon], 130);
  EXPECT_EQ(kTrayIconTable[s.errorIcon], 131);
  EXPECT_EQ(kTrayIconTable[s.busyIcon], 132);
  EXPECT_EQ(s.forceDelete, 0);
  EXPECT_STREQ(s.fileSource, "C:\\FPRI\\*.*");
  EXPECT_STREQ(s.printerName, "RACUN");
  EXPECT_STREQ(s.commandLine, "");
  LoadDefaultSettings(s, CommandLineRules::Posix);
  EXPECT_STREQ(s.fileSource, "/var/spool/druvo/*.*");
}

TEST(ReadCommandLineWindows, ProgramAloneQuotedOrNotKeepsTheDefaults) {
  for (const char* line : {"C:\\APP\\X.EXE", "\"C:\\APP\\X.EXE\"", "  c:\\app\\x.exe  \r\n",
                           "C:\\APP\\X.EXE RACUN C:\\IN\\*.EXE"}) {
    SpoolSettings s = ReadWindows(line);
    EXPECT_STREQ(s.printerName, "RACUN") << line;
    EXPECT_STREQ(s.fileSource, "C:\\FPRI\\*.*") << line;
    EXPECT_STREQ(s.commandLine, "RACUN C:\\FPRI\\*.*") << line;
  }
}

TEST(ReadCommandLineWindows, PrinterSourceAndSwitchAreUpperCased) {
  SpoolSettings s = ReadWindows("C:\\APP\\X.EXE rac2 c:\\in\\*.*");
  EXPECT_STREQ(s.printerName, "RAC2");
  EXPECT_STREQ(s.fileSource, "C:\\IN\\*.*");
  EXPECT_EQ(s.forceDelete, 0);
  EXPECT_STREQ(s.commandLine, "C:\\APP\\X.EXE RAC2 C:\\IN\\*.*");

  s = ReadWindows("C:\\APP\\X.EXE \\\\srv\\racun c:\\fprn\\*.* true");
  EXPECT_STREQ(s.printerName, "\\\\SRV\\RACUN");
  EXPECT_STREQ(s.fileSource, "C:\\FPRN\\*.*");
  EXPECT_EQ(s.forceDelete, 1);
}

TEST(ReadCommandLineWindows, TokenCountRules) {
  SpoolSettings s = ReadWindows("C:\\APP\\X.EXE RACUN2");
  EXPECT_STREQ(s.printerName, "RACUN");  // two tokens: ignored

  s = ReadWindows("C:\\APP\\X.EXE A B C D E");
  EXPECT_STREQ(s.printerName, "A");
  EXPECT_STREQ(s.fileSource, "B");
  EXPECT_EQ(s.forceDelete, 0);

  s = ReadWindows("C:\\APP\\X.EXE    P     C:\\S\\*.*   TRUE");
  EXPECT_STREQ(s.printerName, "P");
  EXPECT_STREQ(s.fileSource, "C:\\S\\*.*");
  EXPECT_EQ(s.forceDelete, 1);

  // A program path with spaces shifts the arguments.
  s = ReadWindows("C:\\PROGRAM FILES\\DRUVO\\X.EXE P C:\\S\\*.*");
  EXPECT_STREQ(s.printerName, "FILES\\DRUVO\\X.EXE");
  EXPECT_STREQ(s.fileSource, "P");

  // The second sample of the configuration view, typed as shown.
  s = ReadWindows("C:\\APP\\X.EXE   \\\\ SERVER\\RACUN  C:\\FPRN\\*.*  TRUE");
  EXPECT_STREQ(s.printerName, "\\\\");
  EXPECT_STREQ(s.fileSource, "SERVER\\RACUN");
  EXPECT_EQ(s.forceDelete, 0);

  // Tabs do not separate tokens.
  s = ReadWindows("C:\\APP\\X.EXE P\tQ C:\\S\\*.*");
  EXPECT_STREQ(s.printerName, "P\tQ");
}

TEST(ReadCommandLineWindows, SixtyFourCharactersAreTheLimit) {
  const std::string p64(64, 'P'), p65(65, 'P');
  const std::string s63 = "C:\\" + std::string(60, 'S');
  EXPECT_STREQ(ReadWindows("C:\\A\\X.EXE " + p64 + " C:\\S\\*.*").printerName, p64.c_str());
  EXPECT_STREQ(ReadWindows("C:\\A\\X.EXE " + p65 + " C:\\S\\*.*").printerName, "RACUN");
  EXPECT_STREQ(ReadWindows("C:\\A\\X.EXE P " + s63 + "S").fileSource, (s63 + "S").c_str());
  EXPECT_STREQ(ReadWindows("C:\\A\\X.EXE P " + s63 + "SS").fileSource, "C:\\FPRI\\*.*");

  // A long command line is not shown but still applied.
  SpoolSettings s = ReadWindows("C:\\A\\X.EXE " + p64 + " C:\\S\\*.*");
  EXPECT_STREQ(s.commandLine, "RACUN C:\\FPRI\\*.*");
  EXPECT_STREQ(s.printerName, p64.c_str());
}

TEST(ReadCommandLineWindows, OverlongLinesAreCutAtTheBufferAndNothingOverflows) {
  std::string line = "C:\\A\\X.EXE P C:\\S\\*.* " + std::string(5000, 'Z');
  SpoolSettings s = ReadWindows(line);
  EXPECT_STREQ(s.printerName, "P");
  EXPECT_EQ(s.forceDelete, 0);
  // A huge single token: the working buffer holds 511 characters.
  s = ReadWindows("C:\\A\\X.EXE " + std::string(3000, 'Q') + " C:\\S\\*.*");
  EXPECT_STREQ(s.printerName, "RACUN");
  EXPECT_STREQ(s.fileSource, "C:\\FPRI\\*.*");
}

TEST(ReadCommandLinePosix, KeepsCaseAndReadsTheSwitchWithoutCase) {
  SpoolSettings s = ReadPosix({"/usr/bin/druvo", "Receipts", "/srv/fpri/*.prn", "true"});
  EXPECT_STREQ(s.printerName, "Receipts");
  EXPECT_STREQ(s.fileSource, "/srv/fpri/*.prn");
  EXPECT_EQ(s.forceDelete, 1);
  EXPECT_STREQ(s.commandLine, "/usr/bin/druvo Receipts /srv/fpri/*.prn true");

  s = ReadPosix({"druvo", "Q", "/in/*.*", "yes"});
  EXPECT_EQ(s.forceDelete, 0);
}

TEST(ReadCommandLinePosix, NoArgumentsMeansArgcOfOne) {
  SpoolSettings s = ReadPosix({"/opt/x.exe.d/druvo"});
  EXPECT_STREQ(s.printerName, "RACUN");
  EXPECT_STREQ(s.fileSource, "/var/spool/druvo/*.*");
  EXPECT_STREQ(s.commandLine, "RACUN /var/spool/druvo/*.*");

  // No ".EXE" to look for: an argument ending in .EXE is still an argument.
  s = ReadPosix({"druvo", "P", "/in/*.EXE"});
  EXPECT_STREQ(s.printerName, "P");
  EXPECT_STREQ(s.fileSource, "/in/*.EXE");

  s = ReadPosix({"druvo", "OnlyPrinter"});
  EXPECT_STREQ(s.printerName, "RACUN");
}

}  // namespace
}  // namespace druvo
