#include "core/settings.h"
#include "spool/printer_address.h"

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

  // The metrics file, quoted (a space under Program Files) or not, keeps
  // the lower-case extension the collector matches; a path that is not
  // whole, or not .prom, is refused.
  SpoolSettings m;
  CommandLineReport r = ReadCommandLineText(
      m, "X.EXE P C:\\S\\*.* \"--metrics-file=C:\\Program Files\\w\\druvo.prom\"",
      CommandLineRules::Windows);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.metricsFile, "C:\\PROGRAM FILES\\W\\DRUVO.prom");
  EXPECT_STREQ(m.fileSource, "C:\\S\\*.*");
  EXPECT_NE(ReadCommandLineText(m, "X.EXE P C:\\S\\*.* --metrics-file=druvo.prom",
                                CommandLineRules::Windows)
                .error.find("full path ending in .prom"),
            std::string::npos);
  EXPECT_NE(ReadCommandLineText(m, "X.EXE P C:\\S\\*.* --metrics-file=C:\\m.txt",
                                CommandLineRules::Windows)
                .error.find("ending in .prom"),
            std::string::npos);
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

TEST(ReadCommandLineWindows, LongValuesAreKeptAndShownNeverReplacedByDefaults) {
  const std::string p200(200, 'P');
  const std::string source = "C:\\" + std::string(250, 'S') + "\\*.*";
  SpoolSettings s = ReadWindows("C:\\A\\X.EXE " + p200 + " " + source);
  EXPECT_STREQ(s.printerName, p200.c_str());
  EXPECT_STREQ(s.fileSource, source.c_str());
  EXPECT_STREQ(s.commandLine, ("C:\\A\\X.EXE " + p200 + " " + source).c_str());
}

TEST(ReadCommandLineWindows, ALineThatDoesNotFitIsAnErrorNotACut) {
  SpoolSettings s;
  LoadDefaultSettings(s, CommandLineRules::Windows);
  for (const std::string& line : {"C:\\A\\X.EXE P C:\\S\\*.* " + std::string(5000, 'Z'),
                                  "C:\\A\\X.EXE " + std::string(3000, 'Q') + " C:\\S\\*.*"}) {
    const CommandLineReport report = ReadCommandLineText(s, line.c_str());
    EXPECT_NE(report.error.find("at most 511"), std::string::npos) << report.error;
  }
  // Blanks around a line that fits do not count.
  EXPECT_EQ(
      ReadCommandLineText(s, ("C:\\A\\X.EXE P C:\\S\\*.*" + std::string(600, ' ')).c_str()).error,
      "");
  EXPECT_STREQ(s.printerName, "P");
}

TEST(ReadCommandLineWindows, AQuotedProgramPathIsOneToken) {
  SpoolSettings s = ReadWindows("\"C:\\Program Files\\Druvo\\druvo.exe\" rac2 c:\\in\\*.* true");
  EXPECT_STREQ(s.printerName, "RAC2");
  EXPECT_STREQ(s.fileSource, "C:\\IN\\*.*");
  EXPECT_EQ(s.forceDelete, 1);
  // Quoted and alone, or followed by blanks only: no arguments.
  for (const char* line :
       {"\"C:\\Program Files\\Druvo\\druvo.exe\"", "\"C:\\P F\\druvo.exe\"   "}) {
    s = ReadWindows(line);
    EXPECT_STREQ(s.printerName, "RACUN") << line;
    EXPECT_STREQ(s.commandLine, "RACUN C:\\FPRI\\*.*") << line;
  }
}

TEST(ReadCommandLineWindows, DoubleQuotedValuesKeepTheirSpaces) {
  SpoolSettings s =
      ReadWindows("druvo.exe \"EPSON TM-T20II Receipt\" \"C:\\kasa racun\\*.*\" TRUE");
  EXPECT_STREQ(s.printerName, "EPSON TM-T20II RECEIPT");
  EXPECT_STREQ(s.fileSource, "C:\\KASA RACUN\\*.*");
  EXPECT_EQ(s.forceDelete, 1);
  EXPECT_EQ(s.byteForByte, 0);
  // Byte for byte: the one option, anywhere, counted as no argument; a
  // quoted one is a value.
  s = ReadWindows("druvo.exe --binary P \"C:\\in\\*.*\"");
  EXPECT_EQ(s.byteForByte, 1);
  EXPECT_STREQ(s.printerName, "P");
  s = ReadWindows("druvo.exe \"--binary\" C:\\in\\*.*");
  EXPECT_EQ(s.byteForByte, 0);
  EXPECT_STREQ(s.printerName, "--BINARY");
  SpoolSettings t;
  LoadDefaultSettings(t, CommandLineRules::Windows);
  // The rules stand, and what they ignore is said.
  for (const auto& [line, says] : std::vector<std::pair<const char*, const char*>>{
           {"druvo.exe KUHINJA", "single argument \"KUHINJA\""},
           {"druvo.exe P C:\\*.* YES", "is not TRUE"},
           {"druvo.exe P C:\\*.* TRUE X Y", "(X Y)"}}) {
    const CommandLineReport report = ReadCommandLineText(t, line);
    ASSERT_EQ(report.warnings.size(), 1u) << line;
    EXPECT_NE(report.warnings[0].find(says), std::string::npos) << report.warnings[0];
  }
  for (const char* broken : {"druvo.exe \"EPSON TM C:\\in\\*.*", "druvo.exe \"A\"B C:\\*.*"}) {
    EXPECT_NE(ReadCommandLineText(t, broken).error, "") << broken;
  }
}

TEST(ReadCommandLinePosix, KeepsCaseAndReadsTheSwitchWithoutCase) {
  SpoolSettings s = ReadPosix({"/usr/bin/druvo", "Receipts", "/srv/fpri/*.prn", "true"});
  EXPECT_STREQ(s.printerName, "Receipts");
  EXPECT_STREQ(s.fileSource, "/srv/fpri/*.prn");
  EXPECT_EQ(s.forceDelete, 1);
  EXPECT_STREQ(s.commandLine, "/usr/bin/druvo Receipts /srv/fpri/*.prn true");

  s = ReadPosix({"druvo", "Q", "/in/*.*", "yes"});
  EXPECT_EQ(s.forceDelete, 0);
  EXPECT_EQ(s.byteForByte, 0);
  EXPECT_EQ(ReadPosix({"druvo", "--binary", "Q", "/in/*.*"}).byteForByte, 1);
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

CommandLineReport ReportPosix(std::vector<const char*> argv, SpoolSettings* out = nullptr) {
  SpoolSettings s;
  LoadDefaultSettings(s, CommandLineRules::Posix);
  argv.insert(argv.begin(), "druvo");
  const CommandLineReport report =
      ReadCommandLineArgs(s, static_cast<int>(argv.size()), argv.data());
  if (out != nullptr) *out = s;
  return report;
}

TEST(ReadCommandLinePosix, EachArgumentIsOneTokenSpacesIncluded) {
  SpoolSettings s;
  EXPECT_EQ(ReportPosix({"RACUN", "/srv/my drop/*.*"}, &s).error, "");
  EXPECT_STREQ(s.fileSource, "/srv/my drop/*.*");
  EXPECT_STREQ(s.commandLine, "druvo RACUN '/srv/my drop/*.*'");
  const std::string p400(400, 'p');
  EXPECT_EQ(ReportPosix({p400.c_str(), "/in/*.*"}, &s).error, "");
  EXPECT_STREQ(s.printerName, p400.c_str());
}

TEST(ReadCommandLinePosix, IgnoredArgumentsAreWarnedAboutAndMisreadOnesRefused) {
  struct Case {
    std::vector<const char*> args;
    const char* expectInError;    // "" = no error
    const char* expectInWarning;  // "" = no warning
  };
  const std::string longArg(600, 'x');
  const Case cases[] = {
      {{"RACUN", "/in/*.*", "TRUE"}, "", ""},
      {{"RACUN", "/in/*.*", "True"}, "", ""},
      {{"status"}, "single argument", ""},
      {{"", "/in/*.*"}, "PRINTER is empty", ""},
      {{"RACUN", ""}, "PATTERN is empty", ""},
      {{"RACUN", "/srv/x/*.*   # receipts"}, "holds a comment", ""},
      {{"RACUN", "/srv/#1/*.*"}, "", ""},
      {{"-V"}, "unknown option", ""},
      {{"RACUN", "/in/*.*", "yes"}, "", "not TRUE"},
      {{"RACUN", "/in/*.*", "TRUE", "x", "y"}, "", "after the third"},
      // An unquoted pattern that the shell expanded into file names.
      {{"RACUN", "/in/a.prn", "/in/b.prn"}, "Quote the pattern", ""},
      {{"RACUN", "/in/a.prn", "/in/b.prn", "/in/c.prn"}, "Quote the pattern", ""},
      {{"RACUN", longArg.c_str(), "TRUE"}, "at most 511", ""},
      {{"--delete-after=later"}, "accepted\" or \"printed", ""},
      {{"--frobnicate"}, "unknown option", ""},
      {{"--metrics-file=druvo.prom"},
       "ending in .prom (the textfile collector reads only those), not \"druvo.prom\"",
       ""},
      {{"--metrics-file=/var/lib/prometheus/node-exporter/druvo.txt"}, "ending in .prom", ""},
      {{"--metrics-file="}, "", ""},
  };
  for (const Case& c : cases) {
    const CommandLineReport report = ReportPosix(c.args);
    const std::string warnings = report.warnings.empty() ? "" : report.warnings.front();
    EXPECT_EQ(report.error.empty(), *c.expectInError == '\0') << c.args[0] << ": " << report.error;
    EXPECT_NE(report.error.find(c.expectInError), std::string::npos) << report.error;
    EXPECT_EQ(warnings.empty(), *c.expectInWarning == '\0') << c.args[0] << ": " << warnings;
    EXPECT_NE(warnings.find(c.expectInWarning), std::string::npos) << warnings;
  }
  EXPECT_TRUE(ReportPosix({"--help"}).help);
  EXPECT_TRUE(ReportPosix({"RACUN", "-h"}).help);
  EXPECT_TRUE(ReportPosix({"--version"}).version);
  SpoolSettings s;
  EXPECT_EQ(ReportPosix({"--delete-after=printed", "Q", "/in/*.*"}, &s).error, "");
  EXPECT_EQ(s.deleteAfterPrinted, 1);
  EXPECT_STREQ(s.printerName, "Q");
}

}  // namespace
}  // namespace druvo

namespace druvo {
namespace {

TEST(ParsePrinterAddress, RefusesWhatWouldOnlyFailLater) {
  struct Case {
    const char* printer;
    const char* error;  // part of the reason; empty: accepted
  } const cases[] = {
      {"socket://[::1]:9100", ""},
      {"socket://printer.local/", ""},
      {"socket://::1", "in brackets, as socket://[::1]"},
      {"socket://fe80::1:9100", "in brackets"},
      {"socket://printer/raw", "takes no path"},
      {"socket://printer:9100/x", "takes no path"},
      {"socket://p?confirm=escpos&buffer=8192", ""},
      {"socket://p?confirm=taken", ""},
      {"socket://p?confirm=escpos&buffer=100", "from 256 to 1048576"},
      {"socket://p?buffer=4k", "from 256 to 1048576"},
      {"socket://p?confirm=escpos&confirm=taken", "exclude each other"},
  };
  for (const Case& c : cases) {
    const std::string error = ParsePrinterAddress(c.printer, true).error;
    if (*c.error == '\0') {
      EXPECT_EQ(error, "") << c.printer;
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.printer << ": " << error;
    }
  }
}

TEST(ReadCommandLineText, TheWindowsProgramsPartsAndInstances) {
  using Role = CommandLineReport::Role;
  const auto read = [](const std::string& line) {
    SpoolSettings s;
    LoadDefaultSettings(s, CommandLineRules::Windows);
    return ReadCommandLineText(s, line.c_str(), CommandLineRules::Windows);
  };
  EXPECT_EQ(read("druvo.exe RACUN C:\\IN\\*.*").role, Role::Tray);
  const CommandLineReport service = read("druvo.exe --service=kuhinja RACUN C:\\IN\\*.*");
  EXPECT_EQ(service.role, Role::Service);
  EXPECT_EQ(service.instance, "KUHINJA");  // the line is read upper-cased
  EXPECT_TRUE(service.error.empty()) << service.error;
  const CommandLineReport install =
      read("druvo.exe --install-service \"--account=NT AUTHORITY\\NetworkService\" R C:\\IN\\*.*");
  EXPECT_EQ(install.role, Role::InstallService);
  EXPECT_EQ(install.instance, "");
  EXPECT_EQ(install.account, "NT AUTHORITY\\NETWORKSERVICE");
  EXPECT_TRUE(install.warnings.empty());  // the options are no arguments
  EXPECT_EQ(read("druvo.exe --view").role, Role::View);
  EXPECT_EQ(read("druvo.exe --stop-service=A-1").instance, "A-1");
  // An instance names a service and a pipe: nothing else gets in.
  for (const char* bad : {"druvo.exe --service=", "druvo.exe --service=a\\b",
                          "druvo.exe \"--view=a b\"", "druvo.exe --service --view",
                          "druvo.exe --account= --install-service"})
    EXPECT_FALSE(read(bad).error.empty()) << bad;
  EXPECT_EQ(read("druvo.exe --servicex R C:\\IN\\*.*").role, Role::Tray);
}

}  // namespace
}  // namespace druvo
