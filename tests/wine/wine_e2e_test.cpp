// druvo.exe under Wine and Xvfb: printing through Wine's spooler into a
// private cupsd, and the tray shell driven from outside by druvo_probe.exe.
// Needs DRUVO_WIN_BUILD (the mingw-w64 x86_64 build folder) and a display.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <fstream>
#include <functional>
#include <thread>

#include "../integration/harness.h"

namespace druvo::testing {
namespace {

using namespace std::chrono_literals;

std::string WinBuild() {
  const char* dir = std::getenv("DRUVO_WIN_BUILD");
  return dir != nullptr ? dir : "";
}

// /tmp/x/y -> Z:\tmp\x\y (Wine maps Z: to the root).
std::string WinePath(const std::string& unixPath) {
  std::string out = "Z:";
  for (char c : unixPath) out.push_back(c == '/' ? '\\' : c);
  return out;
}

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (WinBuild().empty() || std::getenv("DISPLAY") == nullptr) {
      GTEST_SKIP() << "set DRUVO_WIN_BUILD and DISPLAY (scripts/test.sh does)";
    }
    setenv("WINEDEBUG", "-all", 0);
    if (std::getenv("WINEPREFIX") == nullptr) {
      setenv("WINEPREFIX", (std::string(std::getenv("HOME")) + "/.wine-druvo").c_str(), 1);
    }
    cups_ = std::make_unique<CupsEnvironment>();
    // The Windows command line is upper-cased and Wine matches names without
    // case, so the folder name must not differ from another one by case only.
    static int counter = 0;
    drop_ = "/tmp/druvo-wine-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    RemoveTree(drop_);
    ASSERT_EQ(mkdir(drop_.c_str(), 0777), 0);
  }
  void TearDown() override {
    if (druvo_) {
      if (HasFailure()) std::cerr << druvo_->Log();
      druvo_.reset();
    }
    (void)!std::system("wineserver -k >/dev/null 2>&1");
    cups_.reset();
    RemoveTree(drop_);
  }
  void StartDruvo(std::vector<std::string> args, bool waitForTray = true) {
    DaemonOptions options;
    options.program = "wine";
    options.args = {WinBuild() + "/tray/" + exe_};
    options.args.insert(options.args.end(), args.begin(), args.end());
    druvo_ = std::make_unique<Daemon>(*cups_, options);
    if (waitForTray) {
      ASSERT_EQ(Probe({"wait"}), "");
    }
  }
  // The picture of the first icon in Wine's notification area, read from
  // the X server: idle (green), busy (yellow), error (red), or none.
  static std::string TrayPicture() {
    const std::string where = RunCapture(
        "xwininfo -name 'Wine System Tray' 2>/dev/null | awk '/Absolute upper-left X/ {x=$4} "
        "/Absolute upper-left Y/ {y=$4} END {if (x != \"\") print x \"+\" y}'");
    if (where.empty()) return "none";
    const std::string pixels =
        RunCapture("import -window root -crop 18x18+" + where + " -depth 8 txt:- 2>/dev/null");
    int red = 0, green = 0, yellow = 0;
    for (std::size_t at = pixels.find(": ("); at != std::string::npos;
         at = pixels.find(": (", at + 1)) {
      int r = 0, g = 0, b = 0;
      if (std::sscanf(pixels.c_str() + at, ": (%d,%d,%d", &r, &g, &b) != 3) continue;
      if (r > 160 && g > 160 && b < 90) {
        ++yellow;
      } else if (r > 160 && g < 90 && b < 90) {
        ++red;
      } else if (g > 90 && r < 90 && b < 90) {
        ++green;
      }
    }
    if (red + green + yellow == 0) return "none";
    if (red >= green && red >= yellow) return "error";
    return green >= yellow ? "idle" : "busy";
  }
  // %LOCALAPPDATA%\Druvo inside the Wine prefix.
  static std::string DataFolder() {
    // Wine names the profile after the Unix account.
    const passwd* account = getpwuid(getuid());
    return std::string(std::getenv("WINEPREFIX")) + "/drive_c/users/" +
           (account != nullptr ? account->pw_name : "root") + "/AppData/Local/Druvo";
  }
  // Runs druvo_probe.exe; returns its output, or "FAIL..." with its status.
  std::string Probe(const std::vector<std::string>& args) {
    std::string command = "wine '" + WinBuild() + "/tests/win32/druvo_probe.exe'";
    for (const std::string& a : args) command += " '" + a + "'";
    int status = 0;
    std::string out = RunCapture(command + " 2>/dev/null", &status);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // console text mode
    if (status != 0) return "FAIL(" + std::to_string(status) + "): " + out;
    return out;
  }
  std::string In(const std::string& name) const { return drop_ + "/" + name; }

  std::unique_ptr<CupsEnvironment> cups_;
  std::unique_ptr<Daemon> druvo_;
  std::string exe_ = "druvo.exe";
  std::string drop_;
};

TEST_F(WineTest, FilesCrossWinesSpoolerExactlyOldestFirstAndAreDeleted) {
  WriteFileBytes(In("b.prn"), std::string("second\r\n\0\0\x1B@", 12));
  WriteFileBytes(In("a.prn"),
                 "first\r\nline\r\n\x1A"
                 "ignored");
  SetWriteTime(In("a.prn"), 30);
  SetWriteTime(In("b.prn"), 20);
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(2));
  EXPECT_EQ(cups_->Jobs(),
            (std::vector<std::string>{"first\nline\n", std::string("second\n\0\0\x1B@", 11)}));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
}

TEST_F(WineTest, MissingPrinterShowsTheMessageAndKeepsTheFile) {
  WriteFileBytes(In("r.prn"), "receipt\n");
  StartDruvo({"NOPRINTER", WinePath(drop_) + "\\*.*"});
  EXPECT_EQ(Probe({"message", "Error OpenPrinter !!"}),
            "message box \"Druvo\": Error OpenPrinter !!");
  EXPECT_TRUE(Exists(In("r.prn")));
  EXPECT_TRUE(cups_->Jobs().empty());
  // Confirming it lets the next attempt show it again; the file still stays.
  EXPECT_EQ(Probe({"message", "Error OpenPrinter !!"}),
            "message box \"Druvo\": Error OpenPrinter !!");
  EXPECT_TRUE(Exists(In("r.prn")));
}

TEST_F(WineTest, TrayPopupConfigAboutAndExplorerRestart) {
  StartDruvo({});
  EXPECT_EQ(Probe({"popup"}),
            "popup entry 1 opens \"About Druvo\"\npopup entry 2 opens \"Configuration\"");
  EXPECT_EQ(Probe({"config"}),
            "1001=RACUN C:\\FPRI\\*.*\n1002=RACUN\n1003=C:\\FPRI\\*.*\n1004=FALSE");
  EXPECT_EQ(Probe({"about-ok"}), "");
  EXPECT_EQ(Probe({"about-escape"}), "");
  EXPECT_EQ(Probe({"taskbar-created"}), "icon added again");
}

TEST_F(WineTest, ConfigShowsForceDeleteAndTheUpperCasedArguments) {
  StartDruvo({"rac2", "c:\\in\\*.*", "true"});
  const std::string exe = WinePath(WinBuild() + "/tray/druvo.exe");
  std::string upper;
  for (char c : exe) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  // The real line, however long: the program path quoted, as Windows gives it.
  EXPECT_EQ(Probe({"config"}),
            "1001=\"" + upper + "\" RAC2 C:\\IN\\*.* TRUE\n1002=RAC2\n1003=C:\\IN\\*.*\n1004=TRUE");
}

TEST_F(WineTest, QuitFromAboutEndsTheProcessWithStatusZero) {
  EXPECT_EQ(Probe({"launch-quit", WinePath(WinBuild() + "/tray/druvo.exe")}), "exit=0");
}

TEST_F(WineTest, NamesInAnyLanguagePrintExactlyAndAreDeleted) {
  const std::vector<std::string> names = {
      "ra\xC4\x8Dun \xC4\x8D\xC4\x87\xC5\xA1\xC5\xBE\xC4\x91.prn", "\xD1\x87\xD0\xB5\xD0\xBA.prn",
      "\xE6\x94\xB6\xE6\x8D\xAE.prn"};
  std::vector<std::string> expected;
  int age = 40;
  for (const std::string& name : names) {
    WriteFileBytes(In(name), "receipt " + name + "\n");
    SetWriteTime(In(name), age--);
    expected.push_back("receipt " + name + "\n");
  }
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(names.size()));
  EXPECT_EQ(cups_->Jobs(), expected);
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
}

TEST_F(WineTest, IconPicturesAndTheErrorBoxInFront) {
  StartDruvo({"NOPRINTER", WinePath(drop_) + "\\*.*"});
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));
  // The error picture is up before the box asks for OK, and a tray command
  // meanwhile brings the box forward instead of opening About.
  WriteFileBytes(In("r.prn"), "receipt\n");
  ASSERT_EQ(Probe({"box-open", "Error OpenPrinter !!"}), "");
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "error"; }, 5s));
  // The one failure expected: About never opened (a crashed probe is not it).
  EXPECT_EQ(Probe({"about-twice"}), "FAIL(1): FAIL: About Druvo")
      << "About opened over the error box";
  EXPECT_EQ(Probe({"message", "Error OpenPrinter !!"}),
            "message box \"Druvo\": Error OpenPrinter !!");
  druvo_.reset();
  (void)!std::system("wineserver -k >/dev/null 2>&1");
  std::remove(In("r.prn").c_str());
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  EXPECT_EQ(Probe({"about-twice"}), "1 About box(es)");
  // Busy: a print server that stops answering holds the cycle mid-job.
  cups_->PauseServer(true);
  WriteFileBytes(In("s.prn"), "slow\n");
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "busy"; }));
  cups_->PauseServer(false);
  EXPECT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));
}

TEST_F(WineTest, LateTaskbarLogFileAndRotation) {
  // The first adds are refused, as at a logon where the Run key is early.
  setenv("DRUVO_TRAY_REFUSALS", "3", 1);
  exe_ = "druvo_seams.exe";  // the shipped program reads no test seam
  const std::string log = DataFolder() + "/druvo.log";
  RemoveTree(DataFolder());
  ASSERT_EQ(RunCapture("mkdir -p '" + DataFolder() +
                       "' && head -c 1048600 /dev/zero | tr '\\0' x > '" + log + "' && echo ok"),
            "ok");
  WriteFileBytes(In("r.prn"), "receipt\n");
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"}, false);
  unsetenv("DRUVO_TRAY_REFUSALS");
  ASSERT_TRUE(cups_->WaitForJobs(1));  // printing goes on without the icon
  EXPECT_EQ(Probe({"icon-shown"}), "icon shown");
  EXPECT_EQ(ReadFileBytes(log + ".1").size(), 1048600u);  // the full log rotated away
  const std::string lines = ReadFileBytes(log);
  EXPECT_NE(lines.find("start: Command line:"), std::string::npos) << lines;
  EXPECT_NE(lines.find("the notification area refused the icon"), std::string::npos) << lines;
  EXPECT_NE(lines.find("\\r.prn\" (8 bytes)"), std::string::npos) << lines;
  EXPECT_NE(lines.find("tray icon added"), std::string::npos) << lines;
}

TEST_F(WineTest, ACommandLineThatDoesNotFitIsRefusedWithAMessage) {
  StartDruvo({"RACUN", "C:\\" + std::string(600, 'S') + "\\*.*"}, false);
  EXPECT_EQ(Probe({"message", "Druvo cannot start"}), "message box \"Druvo\": Druvo cannot start");
  EXPECT_EQ(druvo_->Stop(0), 2);
}

TEST_F(WineTest, OneDruvoPerFileNameHoweverTheFolderIsSpelled) {
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  DaemonOptions second;
  second.program = "wine";
  second.args = {WinBuild() + "/tray/druvo.exe", "KUHINJA", WinePath(drop_) + "\\.\\*.PRN"};
  Daemon twin(*cups_, second);
  EXPECT_EQ(Probe({"message", "Druvo already serves the folder Z:\\TMP\\DRUVO-WINE-"}),
            "message box \"Druvo\": Druvo already serves the folder Z:\\TMP\\DRUVO-WINE-");
  EXPECT_EQ(twin.Stop(0), 4);
  WriteFileBytes(In("r.prn"), "receipt\n");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"receipt\n"}));
  // Patterns no file name can match both share the folder: kitchen slips
  // and receipts, each by its own Druvo.
  druvo_.reset();
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.RCP"});
  second.args = {WinBuild() + "/tray/druvo.exe", "RACUN", WinePath(drop_) + "\\.\\*.KIT"};
  Daemon kitchen(*cups_, second);
  WriteFileBytes(In("a.rcp"), "receipt a\n");
  WriteFileBytes(In("b.kit"), "slip b\n");
  ASSERT_TRUE(cups_->WaitForJobs(3)) << kitchen.Log();
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  std::vector<std::string> jobs = cups_->Jobs();
  std::sort(jobs.begin(), jobs.end());
  EXPECT_EQ(jobs, (std::vector<std::string>{"receipt\n", "receipt a\n", "slip b\n"}));
}

TEST_F(WineTest, APatternWrittenWithForwardSlashesPrintsAsWithBackslashes) {
  std::string slashed = WinePath(drop_) + "/*.*";
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  StartDruvo({"RACUN", slashed});
  WriteFileBytes(In("r.prn"), "slashes\n");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"slashes\n"}));
}

TEST_F(WineTest, AFolderMissingAtStartIsClaimedOnceItExists) {
  // The first Druvo starts before its folder exists (a drive mapped later);
  // a second one is started on another spelling of it (a link) once it
  // does. Whichever registers the folder's identity first prints; the other
  // refuses, or stops printing with a line.
  const std::string late = drop_ + "/late";
  StartDruvo({"RACUN", WinePath(late) + "\\*.*"});
  ASSERT_EQ(mkdir(late.c_str(), 0777), 0);
  ASSERT_EQ(symlink(late.c_str(), (drop_ + "/alias").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the first one looks again meanwhile
  DaemonOptions second;
  second.program = "wine";
  second.args = {WinBuild() + "/tray/druvo.exe", "RACUN", WinePath(drop_) + "\\ALIAS\\*.*"};
  Daemon twin(*cups_, second);
  // Refused at start, it says so in a box (answered here); else it runs.
  const bool boxed = Probe({"message", "Druvo already serves the folder"}).rfind("message", 0) == 0;
  for (int i = 0; i < 3; ++i)
    WriteFileBytes(late + "/r" + std::to_string(i), "r" + std::to_string(i));
  ASSERT_TRUE(WaitFor([&] { return ListNames(late).empty(); }, std::chrono::seconds(60)));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<std::string> jobs = cups_->Jobs();
  std::sort(jobs.begin(), jobs.end());
  EXPECT_EQ(jobs, (std::vector<std::string>{"r0", "r1", "r2"}));
  const std::string log = ReadFileBytes(DataFolder() + "/druvo.log");
  // The second has ended (a zombie until reaped), or the first said it stopped.
  std::ifstream stat("/proc/" + std::to_string(twin.Pid()) + "/stat");
  std::string line;
  std::getline(stat, line);
  const bool secondEnded = line.find(") Z ") != std::string::npos;
  if (secondEnded || boxed) {
    EXPECT_EQ(twin.Stop(0), 4);
  } else {
    EXPECT_NE(log.find("prints nothing more"), std::string::npos) << log;
    twin.Stop();
  }
}

TEST_F(WineTest, AFolderThatCannotBeSearchedShowsTheErrorPictureUntilItCan) {
  const std::string later = drop_ + "/later";
  StartDruvo({"RACUN", WinePath(later) + "\\*.*"});
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "error"; }));
  ASSERT_EQ(mkdir(later.c_str(), 0777), 0);
  WriteFileBytes(later + "/r.prn", "late\n");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));
}

TEST_F(WineTest, NamesWindowsReservesAndPathsPastMaxPathPrintOnce) {
  // Files such names (from a share, another system) must never open a device.
  const std::vector<std::string> names = {"aux.prn", "NUL.txt", "COM1.prn", "CON"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    WriteFileBytes(In(names[i]), names[i] + "\n");
    SetWriteTime(In(names[i]), 40 - static_cast<long long>(i));
  }
  // ... and a folder whose paths are longer than MAX_PATH.
  const std::string deep = drop_ + "/" + std::string(120, 'd') + "/" + std::string(120, 'e');
  ASSERT_EQ(RunCapture("mkdir -p '" + deep + "' && echo ok"), "ok");
  WriteFileBytes(deep + "/long.prn", "long\n");
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(4));
  EXPECT_EQ(cups_->Jobs(),
            (std::vector<std::string>{"aux.prn\n", "NUL.txt\n", "COM1.prn\n", "CON\n"}));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).size() == 1; }));  // the deep folder
  druvo_.reset();
  (void)!std::system("wineserver -k >/dev/null 2>&1");
  StartDruvo({"RACUN", WinePath(deep) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(5));
  EXPECT_EQ(cups_->Jobs().back(), "long\n");
  EXPECT_TRUE(WaitFor([&] { return !Exists(deep + "/long.prn"); }));
}

TEST_F(WineTest, AQuotedFolderWithASpaceAndACroatianLetterIsOneArgument) {
  // Wine quotes an argument that holds a space, as a shortcut or the Run key
  // would: the folder stays whole, and its "č" (not in the ANSI code page)
  // stays itself.
  const std::string spaced = drop_ + "/kasa ra\xC4\x8Dun";
  ASSERT_EQ(mkdir(spaced.c_str(), 0777), 0);
  WriteFileBytes(spaced + "/r.prn", "spaced\n");
  StartDruvo({"RACUN", WinePath(spaced) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"spaced\n"}));
  EXPECT_TRUE(WaitFor([&] { return !Exists(spaced + "/r.prn"); }));
}

TEST_F(WineTest, SocketPrinterWithoutAnySpooler) {
  WriteFileBytes(In("b.prn"), "second\r\n");
  WriteFileBytes(In("a.prn"), std::string("first\0\x1B@\r\n", 10));
  SetWriteTime(In("a.prn"), 30);
  SetWriteTime(In("b.prn"), 20);
  // Upper-cased by Windows on the way in: the scheme is read without case.
  // A metrics file for windows_exporter, in a folder of its own.
  const std::string metrics = drop_ + "/metrics";
  ASSERT_EQ(mkdir(metrics.c_str(), 0777), 0);
  StartDruvo({"socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port"),
              WinePath(drop_) + "\\*.*", "--metrics-file=" + WinePath(metrics) + "\\druvo.prom"});
  ASSERT_TRUE(cups_->WaitForJobs(2));
  EXPECT_EQ(cups_->Jobs(),
            (std::vector<std::string>{std::string("first\0\x1B@\n", 9), "second\n"}));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_) == std::vector<std::string>{"metrics"}; }));
  // Its name keeps the lower-case .prom the collector looks for, and it
  // tells of both receipts.
  std::string text;
  EXPECT_TRUE(WaitFor([&] {
    const std::vector<std::string> names = ListNames(metrics);
    if (names.size() != 1 || names[0].size() < 5 || names[0].substr(names[0].size() - 5) != ".prom")
      return false;
    text = ReadFileBytes(metrics + "/" + names[0]);
    return text.find("outcome=\"accepted\"} 2\n") != std::string::npos;
  })) << text;
  EXPECT_NE(text.find("druvo_files_waiting{"), std::string::npos);
}

TEST_F(WineTest, APrinterThatTakesNothingNeverFreezesTheTrayNorLosesTheReceipt) {
  // It accepts, takes a few bytes and then nothing, and never closes: a
  // printer switched off mid-receipt, or out of paper with the line open.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "stall"}});
  WriteFileBytes(In("r.prn"), std::string(24 * 1024, 'x'));
  StartDruvo({"socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port"),
              WinePath(drop_) + "\\*.*"});
  EXPECT_EQ(Probe({"responsive", "6"}), "0 of 60 unanswered");
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "error"; }, 10s));
  const std::string log = DataFolder() + "/druvo.log";
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFileBytes(log).find("did not confirm the job") != std::string::npos; },
      60s));
  EXPECT_TRUE(Exists(In("r.prn")));
  // Quit while the next try waits on the printer: the window goes at once.
  const std::string quit = Probe({"quit"});
  EXPECT_EQ(quit.rfind("ended in ", 0), 0u) << quit;
  std::cerr << "quit during the wait: " << quit << "\n";
  EXPECT_TRUE(Exists(In("r.prn")));
}

TEST_F(WineTest, QuitWhileThePrinterPrintsWhatItHoldsNeverPrintsItTwice) {
  // A slow printer holds the whole receipt and closes once it printed it:
  // a Quit meanwhile waits for that close, so the restart has nothing to
  // send again (a reset would leave the receipt on paper and in the folder).
  cups_ = std::make_unique<CupsEnvironment>(std::map<std::string, std::string>{
      {"PRINTER_ARGS", "--escpos --print-rate 1000 --buffer 16384"}});
  const std::string body = "<<R1>>" + std::string(7000, 'q') + "<<E>>\n";
  WriteFileBytes(In("r.prn"), body);
  const std::string address = "socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port");
  StartDruvo({address, WinePath(drop_) + "\\*.*"});
  const std::string paper = cups_->Dir() + "/jobs/paper.bin";
  ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(paper).size() > 500; }));
  const std::string quit = Probe({"quit"});
  EXPECT_EQ(quit.rfind("ended in ", 0), 0u) << quit;
  std::cerr << "quit while the printer printed: " << quit << "\n";
  EXPECT_FALSE(Exists(In("r.prn")));
  StartDruvo({address, WinePath(drop_) + "\\*.*"});
  std::this_thread::sleep_for(3s);
  const std::string printed = ReadFileBytes(paper);
  EXPECT_TRUE(printed == body) << printed.size() << " bytes on paper for one receipt of "
                               << body.size() << "\n"
                               << ReadFileBytes(DataFolder() + "/druvo.log");
}

TEST_F(WineTest, ProofOfPaperPrintsEachReceiptOnceThroughAPaperEndAndAQuit) {
  // An ESC/POS printer that runs out of paper in the second of six
  // receipts, prints on after a new roll 3 s later, and is quit while the
  // paper is out: the Quit waits for the confirmations, the restart sends
  // only what is left.
  cups_ = std::make_unique<CupsEnvironment>(std::map<std::string, std::string>{
      {"PRINTER_ARGS", "--escpos --print-rate 2000 --paper-out-at 1500 --reload-ms 3000"}});
  std::vector<std::string> bodies;
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "r" + std::to_string(i) + ".prn";
    bodies.push_back("<<R" + std::to_string(i) + ">>" +
                     std::string(1000, static_cast<char>('a' + i)) + "<<E>>\n");
    WriteFileBytes(In(name), bodies.back());
    SetWriteTime(In(name), 10 - i);
  }
  const std::string address =
      "socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port") + "?confirm=escpos";
  // Wine keeps no Event Log; its ReportEventW traces each record's text.
  setenv("WINEDEBUG", "-all,+eventlog", 1);
  StartDruvo({address, WinePath(drop_) + "\\*.*"});
  setenv("WINEDEBUG", "-all", 1);
  const std::string log = DataFolder() + "/druvo.log";
  ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(log).find("r4.prn") != std::string::npos; }));
  std::this_thread::sleep_for(1500ms);  // the paper is out now
  const std::string upper = "SOCKET://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port");
  EXPECT_TRUE(WaitFor([&] {
    return druvo_->Log().find("ReportEventW L\"printer " + upper + "?CONFIRM=ESCPOS: paper out") !=
           std::string::npos;
  })) << druvo_->Log();
  const std::string quit = Probe({"quit"});
  EXPECT_EQ(quit.rfind("ended in ", 0), 0u) << quit;
  std::cerr << "quit with confirmations due: " << quit << "\n";
  StartDruvo({address, WinePath(drop_) + "\\*.*"});
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 60s));
  std::this_thread::sleep_for(1s);
  std::string paper = ReadFileBytes(cups_->Dir() + "/jobs/paper.bin");
  for (std::size_t at; (at = paper.find("<<ROLL>>")) != std::string::npos;) paper.erase(at, 8);
  for (const std::string& body : bodies) {
    std::size_t times = 0;
    for (std::size_t at = paper.find(body); at != std::string::npos; at = paper.find(body, at + 1))
      ++times;
    EXPECT_EQ(times, 1u) << body.substr(0, 6) << "\n" << ReadFileBytes(log);
  }
  EXPECT_NE(ReadFileBytes(log).find("printed on after the printer stopped (paper out)"),
            std::string::npos)
      << ReadFileBytes(log);
}

TEST_F(WineTest, SilentInstallRunKeyPrintsAndSilentUninstall) {
  // The 64-bit build of the installer: Wine here runs no 32-bit code.
  const std::string setup = WinBuild() + "/druvo-setup-1.0.0.1-x64.exe";
  if (!Exists(setup)) GTEST_SKIP() << "build the setup target first (scripts/test.sh does)";
  const std::string folder =
      std::string(std::getenv("WINEPREFIX")) + "/drive_c/Program Files/Druvo";
  // A folder with a space, and a printer address with slashes and a colon:
  // both reach the Run key whole and quoted.
  const std::string spaced = drop_ + "/kasa racun";
  ASSERT_EQ(mkdir(spaced.c_str(), 0777), 0);
  const std::string pattern = WinePath(spaced) + "\\*.*";
  const std::string printer = "socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port");
  int status = -1;
  // What a run that failed half-way left installed goes first.
  if (Exists(folder + "/uninstall.exe")) {
    RunCapture("wine '" + folder + "/uninstall.exe' /S >/dev/null 2>&1");
    WaitFor([&] { return !Exists(folder + "/druvo.exe"); });
  }
  // Druvos the suite's earlier tests ended with wineserver -k left their
  // entries behind.
  RunCapture("wine reg delete 'HKCU\\Software\\Druvo\\Running' /f >/dev/null 2>&1");
  // A value the Run key cannot carry (a double quote inside it) is refused.
  RunCapture("wine '" + setup + "' /S /PRINTER=RACUN '/PATTERN=Z:\\a\"b\\*.*' >/dev/null 2>&1",
             &status);
  EXPECT_EQ(status, 2);
  EXPECT_FALSE(Exists(folder + "/druvo.exe"));
  // Not into RunCapture's pipe: the Druvo the setup starts would inherit it.
  RunCapture(
      "wine '" + setup + "' /S /PRINTER=" + printer + " '/PATTERN=" + pattern + "' >/dev/null 2>&1",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Exists(folder + "/druvo.exe"));
  EXPECT_TRUE(Exists(folder + "/uninstall.exe"));
  const std::string query =
      "wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /v Druvo "
      "2>/dev/null";
  std::string key = RunCapture(query);
  key.erase(std::remove(key.begin(), key.end(), '\r'), key.end());
  const std::string expected =
      "\"C:\\Program Files\\Druvo\\druvo.exe\" \"" + printer + "\" \"" + pattern + "\"";
  ASSERT_NE(key.find("REG_SZ    " + expected), std::string::npos) << key;

  // The setup starts Druvo from that line: printing does not wait for a logon.
  WriteFileBytes(spaced + "/r.prn", "installed\r\n");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"installed\n"}));

  // A second Druvo, for the kitchen, started by hand on another folder.
  const std::string kitchen = drop_ + "/kuhinja";
  ASSERT_EQ(mkdir(kitchen.c_str(), 0777), 0);
  // Not into a pipe: the Druvo the probe starts would inherit it.
  RunCapture("wine '" + WinBuild() + "/tests/win32/druvo_probe.exe' start-line '\"C:\\Program " +
                 "Files\\Druvo\\druvo.exe\" \"" + printer + "\" \"" + WinePath(kitchen) +
                 "\\*.*\"' >/dev/null 2>&1",
             &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(WaitFor([&] {
    const std::string running = RunCapture(
        "wine reg query 'HKCU\\Software\\Druvo\\Running' 2>/dev/null | grep -ci kuhinja");
    return std::atoi(running.c_str()) >= 1;
  })) << "each running Druvo keeps its command line";

  // An upgrade over the running Druvos closes them, replaces the program and
  // starts each again: one Druvo per folder prints the next receipt, once.
  // The Run key's sends files byte for byte now: a 0x1A in a binary receipt
  // goes through.
  // Not into RunCapture's pipe: the Druvo the setup starts would inherit it.
  // It keeps a metrics file for windows_exporter, too.
  const std::string metrics = drop_ + "/textfile_inputs";
  ASSERT_EQ(mkdir(metrics.c_str(), 0777), 0);
  RunCapture("wine '" + setup + "' /S /PRINTER=" + printer + " '/PATTERN=" + pattern +
                 "' /BINARY=TRUE '/METRICS=" + WinePath(metrics) + "\\druvo.prom' >/dev/null 2>&1",
             &status);
  EXPECT_EQ(status, 0);
  WriteFileBytes(kitchen + "/k.prn", "kitchen\r\n");
  ASSERT_TRUE(cups_->WaitForJobs(2)) << "the kitchen's Druvo did not come back";
  EXPECT_TRUE(WaitFor([&] { return !Exists(kitchen + "/k.prn"); }));
  // The Event Log's source is registered with druvo.exe as its message
  // file: a paper-out (warning, ID 4) reads as Druvo wrote it.
  EXPECT_EQ(Probe({"event-message", "0x80000004", "printer RACUN: paper out"}),
            "printer RACUN: paper out");
  key = RunCapture(query);
  EXPECT_NE(key.find("druvo.exe\" --binary \""), std::string::npos) << key;
  EXPECT_NE(key.find("\" \"--metrics-file=" + WinePath(metrics) + "\\druvo.prom\""),
            std::string::npos)
      << key;
  EXPECT_TRUE(WaitFor([&] { return ListNames(metrics).size() == 1; }));
  const std::string binary("up\r\n\x1D(k\x1A\x00graded", 15);
  WriteFileBytes(spaced + "/s.prn", binary);
  ASSERT_TRUE(cups_->WaitForJobs(3));
  EXPECT_TRUE(WaitFor([&] { return !Exists(spaced + "/s.prn"); }));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"installed\n", "kitchen\n", binary}));

  RunCapture("wine '" + folder + "/uninstall.exe' /S >/dev/null 2>&1");
  EXPECT_TRUE(WaitFor(
      [&] { return !Exists(folder + "/druvo.exe") && !Exists(folder + "/uninstall.exe"); }));
  EXPECT_EQ(RunCapture(query).find("Druvo"), std::string::npos);
  EXPECT_EQ(Probe({"event-message", "0x80000004", "x"}).rfind("FAIL", 0), 0u);

  // The same through the setup's pages: the metrics file has its field, and
  // a printer holding a double quote is refused on the page.
  (void)!std::system(("wine '" + setup + "' >/dev/null 2>&1 &").c_str());
  EXPECT_EQ(Probe({"setup-page", "RA\"CUN", printer, pattern, WinePath(metrics) + "\\druvo.prom"}),
            "refused a quote; installed");
  key = RunCapture(query);
  EXPECT_NE(key.find("\" \"--metrics-file=" + WinePath(metrics) + "\\druvo.prom\""),
            std::string::npos)
      << key;
  RunCapture("wine '" + folder + "/uninstall.exe' /S >/dev/null 2>&1");
  EXPECT_TRUE(WaitFor([&] { return !Exists(folder + "/druvo.exe"); }));
}

TEST_F(WineTest, TheSetupsServicePrintsWithNoTrayStopsMidSendOnceAndIsRemoved) {
  const std::string setup = WinBuild() + "/druvo-setup-1.0.0.1-x64.exe";
  if (!Exists(setup)) GTEST_SKIP() << "build the setup target first (scripts/test.sh does)";
  const std::string folder =
      std::string(std::getenv("WINEPREFIX")) + "/drive_c/Program Files/Druvo";
  const auto uninstall = [&] {
    if (!Exists(folder + "/uninstall.exe")) return;
    RunCapture("wine '" + folder + "/uninstall.exe' /S >/dev/null 2>&1");
    WaitFor([&] { return !Exists(folder + "/druvo.exe"); });
  };
  // Wine starts an automatic service with the prefix: one left installed
  // would print in the tests after this one.
  struct Removed {
    std::function<void()> remove;
    ~Removed() { remove(); }
  } removed{uninstall};
  uninstall();
  const auto service = [] { return RunCapture("wine sc query Druvo 2>/dev/null"); };
  // Wine's net stop gives up on a service that takes seconds to stop, as a
  // receipt under way makes it: the service manager says when it stopped.
  const auto stop = [&] {
    RunCapture("wine net stop Druvo >/dev/null 2>&1");
    return WaitFor([&] { return service().find("STOPPED") != std::string::npos; });
  };
  // Wine ends its services with the last ordinary process of the prefix; a
  // persistent wineserver keeps this one running, as Windows would.
  (void)!std::system("wineserver -p >/dev/null 2>&1");
  // A slow printer that holds a whole receipt: 7000 bytes print in 7 s.
  cups_ = std::make_unique<CupsEnvironment>(std::map<std::string, std::string>{
      {"PRINTER_ARGS", "--escpos --print-rate 1000 --buffer 16384"}});
  const std::string address = "socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port");
  const std::string pattern = WinePath(drop_) + "\\*.*";
  int status = -1;
  RunCapture("wine '" + setup + "' /S /SERVICE /PRINTER=" + address + " '/PATTERN=" + pattern +
                 "' >/dev/null 2>&1",
             &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(service().find("RUNNING"), std::string::npos) << service();
  EXPECT_NE(RunCapture("wine reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Druvo' /v "
                       "ObjectName 2>/dev/null")
                .find("NT AUTHORITY\\LocalService"),
            std::string::npos);

  // The setup started the tray as a view of the service, which holds the
  // folder: a tray of its own on it is refused.
  ASSERT_EQ(Probe({"wait"}), "");
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));
  DaemonOptions second;
  second.program = "wine";
  second.args = {WinBuild() + "/tray/druvo.exe", address, pattern};
  Daemon twin(*cups_, second);
  EXPECT_EQ(Probe({"message", "Druvo already serves the folder"}),
            "message box \"Druvo\": Druvo already serves the folder");
  EXPECT_EQ(twin.Stop(0), 4);

  // No tray at all: the service prints alone. A stop while the printer
  // prints the first receipt waits for it; the start sends the second only.
  EXPECT_EQ(Probe({"quit"}).rfind("ended in ", 0), 0u);
  const std::string first = "<<R1>>" + std::string(7000, 'a') + "<<E>>\n";
  const std::string next = "<<R2>>" + std::string(3000, 'b') + "<<E>>\n";
  WriteFileBytes(In("r1.prn"), first);
  WriteFileBytes(In("r2.prn"), next);
  SetWriteTime(In("r1.prn"), 20);
  SetWriteTime(In("r2.prn"), 10);
  const std::string paper = cups_->Dir() + "/jobs/paper.bin";
  ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(paper).size() > 500; }));
  EXPECT_TRUE(stop()) << service();
  RunCapture("wine net start Druvo >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(paper).size() >= first.size() + next.size(); }));
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(ReadFileBytes(paper) == first + next)
      << ReadFileBytes(paper).size() << " bytes on paper for " << first.size() + next.size();
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));

  // An upgrade given no printer or folder: the service stops, its program is
  // replaced, and it runs again as it was set up.
  const std::string imagePath =
      "wine reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Druvo' /v ImagePath "
      "2>/dev/null";
  const std::string before = RunCapture(imagePath);
  RunCapture("wine '" + setup + "' /S >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(service().find("RUNNING"), std::string::npos) << service();
  EXPECT_EQ(RunCapture(imagePath), before);
  WriteFileBytes(In("r3.prn"), "<<R3>>\n");
  EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(paper) == first + next + "<<R3>>\n"; }));
  EXPECT_TRUE(Probe({"quit"}).rfind("ended in ", 0) == 0);  // the view the setup started

  // A view shows what the service's pipe says: the error picture while it
  // is stopped, idle once it runs again.
  StartDruvo({"--view"});
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));
  EXPECT_NE(Probe({"pipe", "j"}).find("\"state\":\"idle\""), std::string::npos);
  // Its entry after About and Configuration pauses the service, then
  // resumes it: a file waits meanwhile.
  EXPECT_EQ(Probe({"popup-pick", "3"}), "");
  EXPECT_TRUE(WaitFor([&] { return service().find("PAUSED") != std::string::npos; }));
  EXPECT_NE(Probe({"pipe", "j"}).find("\"paused\":true"), std::string::npos);
  WriteFileBytes(In("r4.prn"), "<<R4>>\n");
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(Exists(In("r4.prn")));
  EXPECT_EQ(Probe({"popup-pick", "3"}), "");
  EXPECT_TRUE(WaitFor([&] { return !Exists(In("r4.prn")); }));
  EXPECT_NE(service().find("RUNNING"), std::string::npos);
  EXPECT_TRUE(stop());
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "error"; }));
  RunCapture("wine net start Druvo >/dev/null 2>&1");
  EXPECT_TRUE(WaitFor([&] { return TrayPicture() == "idle"; }));

  // Removed whole: no service, no Druvo left running.
  uninstall();
  EXPECT_EQ(service().find("Druvo"), std::string::npos) << service();
  const std::string running = "ps -eo stat=,args= | grep -v '^Z' | grep '[d]ruvo\\.exe'";
  EXPECT_TRUE(WaitFor([&] { return RunCapture(running + " || true").empty(); }))
      << RunCapture(running);
}

}  // namespace
}  // namespace druvo::testing
