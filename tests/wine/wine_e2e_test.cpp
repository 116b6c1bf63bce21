// druvo.exe under Wine and Xvfb: printing through Wine's spooler into a
// private cupsd, and the tray shell driven from outside by druvo_probe.exe.
// Needs DRUVO_WIN_BUILD (the mingw-w64 x86_64 build folder) and a display.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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
    std::system("wineserver -k >/dev/null 2>&1");
    cups_.reset();
    RemoveTree(drop_);
  }
  void StartDruvo(std::vector<std::string> args) {
    DaemonOptions options;
    options.program = "wine";
    options.args = {WinBuild() + "/tray/druvo.exe"};
    options.args.insert(options.args.end(), args.begin(), args.end());
    druvo_ = std::make_unique<Daemon>(*cups_, options);
    ASSERT_EQ(Probe({"wait"}), "");
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
  std::string drop_;
};

TEST_F(WineTest, FilesCrossWinesSpoolerExactlyOldestFirstAndAreDeleted) {
  WriteFileBytes(In("b.prn"), std::string("second\r\n\0\0\x1B@", 12));
  WriteFileBytes(In("a.prn"), "first\r\nline\r\n\x1A" "ignored");
  SetWriteTime(In("a.prn"), 30);
  SetWriteTime(In("b.prn"), 20);
  StartDruvo({"RACUN", WinePath(drop_) + "\\*.*"});
  ASSERT_TRUE(cups_->WaitForJobs(2));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"first\nline\n", std::string("second\n\0\0\x1B@", 11)}));
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
}

TEST_F(WineTest, MissingPrinterShowsTheMessageAndKeepsTheFile) {
  WriteFileBytes(In("r.prn"), "receipt\n");
  StartDruvo({"NOPRINTER", WinePath(drop_) + "\\*.*"});
  EXPECT_EQ(Probe({"message", "Error OpenPrinter !!"}), "message box \"Druvo\": Error OpenPrinter !!");
  EXPECT_TRUE(Exists(In("r.prn")));
  EXPECT_TRUE(cups_->Jobs().empty());
  // Confirming it lets the next attempt show it again; the file still stays.
  EXPECT_EQ(Probe({"message", "Error OpenPrinter !!"}), "message box \"Druvo\": Error OpenPrinter !!");
  EXPECT_TRUE(Exists(In("r.prn")));
}

TEST_F(WineTest, TrayPopupConfigAboutAndExplorerRestart) {
  StartDruvo({});
  EXPECT_EQ(Probe({"popup"}),
            "popup entry 1 opens \"About Druvo\"\npopup entry 2 opens \"Configuration\"");
  EXPECT_EQ(Probe({"config"}), "1001=RACUN C:\\FPRI\\*.*\n1002=RACUN\n1003=C:\\FPRI\\*.*\n1004=FALSE");
  EXPECT_EQ(Probe({"about-ok"}), "");
  EXPECT_EQ(Probe({"about-escape"}), "");
  EXPECT_EQ(Probe({"taskbar-created"}), "icon added again");
}

TEST_F(WineTest, ConfigShowsForceDeleteAndTheUpperCasedArguments) {
  StartDruvo({"rac2", "c:\\in\\*.*", "true"});
  EXPECT_EQ(Probe({"config"}),
            "1001=RACUN C:\\FPRI\\*.*\n1002=RAC2\n1003=C:\\IN\\*.*\n1004=TRUE")
      << "the program path makes the line longer than 64 characters, so the default text shows";
}

TEST_F(WineTest, QuitFromAboutEndsTheProcessWithStatusZero) {
  EXPECT_EQ(Probe({"launch-quit", WinePath(WinBuild() + "/tray/druvo.exe")}), "exit=0");
}

}  // namespace
}  // namespace druvo::testing
