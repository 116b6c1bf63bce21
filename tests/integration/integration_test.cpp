// The real daemon against a private cupsd and a capture printer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness.h"

namespace druvo::testing {
namespace {

using namespace std::chrono_literals;

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cups_ = std::make_unique<CupsEnvironment>();
    drop_ = MakeSharedTempDir("drop");
  }
  void TearDown() override {
    if (daemon_) {
      EXPECT_EQ(daemon_->Stop(), 0) << "druvo should end cleanly on SIGTERM";
      if (HasFailure()) std::cerr << "--- druvo log ---\n" << daemon_->Log();
    }
    daemon_.reset();
    cups_.reset();
    RemoveTree(drop_);
  }
  void Start(std::vector<std::string> extra = {}, std::string user = "") {
    DaemonOptions options;
    options.args = {"RACUN", drop_ + "/*.*"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.runAsUser = std::move(user);
    daemon_ = std::make_unique<Daemon>(*cups_, options);
  }
  std::string In(const std::string& name) const { return drop_ + "/" + name; }
  bool WaitGone(const std::string& name) {
    return WaitFor([&] { return !Exists(In(name)); });
  }
  // Gives the daemon several more cycles to do something it should not.
  static void Linger() { std::this_thread::sleep_for(1500ms); }

  std::unique_ptr<CupsEnvironment> cups_;
  std::unique_ptr<Daemon> daemon_;
  std::string drop_;
};

TEST_F(DaemonTest, PrintsOldestFirstAndDeletes) {
  WriteFileBytes(In("b.prn"), "second\n");
  WriteFileBytes(In("a.prn"), "third\n");
  WriteFileBytes(In("c.prn"), "first\n");
  SetWriteTime(In("c.prn"), 30);
  SetWriteTime(In("b.prn"), 20);
  SetWriteTime(In("a.prn"), 10);
  Start();
  ASSERT_TRUE(cups_->WaitForJobs(3));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"first\n", "second\n", "third\n"}));
  EXPECT_TRUE(ListNames(drop_).empty());
  Linger();
  EXPECT_EQ(cups_->Jobs().size(), 3u);
  EXPECT_NE(daemon_->Log().find("Printer: RACUN"), std::string::npos);
}

TEST_F(DaemonTest, BytesArriveExactlyAfterTheLineEndRule) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    if (b != 0x1A && b != '\r') all.push_back(static_cast<char>(b));
  }
  WriteFileBytes(In("bytes.prn"), std::string("A\r\nB\rC\0\0D\r\n", 12) + all + "\r\x1A" + "after");
  WriteFileBytes(In("empty.prn"), "");
  SetWriteTime(In("empty.prn"), 60);
  std::string big;
  for (int i = 0; big.size() < 1536 * 1024; ++i) big += "line " + std::to_string(i) + "\r\n";
  WriteFileBytes(In("big.prn"), big);
  SetWriteTime(In("big.prn"), 5);
  Start();
  ASSERT_TRUE(cups_->WaitForJobs(2));
  std::string bigOut;
  for (char c : big) {
    if (c != '\r') bigOut.push_back(c);
  }
  // The empty file has nothing to print: it leaves the folder without a job.
  ASSERT_EQ(cups_->Jobs().size(), 2u);
  EXPECT_EQ(cups_->Jobs()[0], std::string("A\nB\rC\0\0D\n", 10) + all + "\r");
  EXPECT_EQ(cups_->Jobs()[1].size(), bigOut.size());
  EXPECT_TRUE(cups_->Jobs()[1] == bigOut);
  EXPECT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
}

TEST_F(DaemonTest, MissingQueueKeepsTheFileAndLogsOnce) {
  cups_->Admin("lpadmin -x RACUN");
  WriteFileBytes(In("r.prn"), "receipt\n");
  Start();
  ASSERT_TRUE(
      WaitFor([&] { return daemon_->Log().find("printer unavailable") != std::string::npos; }));
  Linger();
  EXPECT_TRUE(Exists(In("r.prn")));
  const std::string log = daemon_->Log();
  EXPECT_NE(log.find("RACUN"), std::string::npos);
  EXPECT_EQ(log.find("printer unavailable"), log.rfind("printer unavailable"))
      << "logged more than once";
}

TEST_F(DaemonTest, MissingQueueWithForceDeleteDeletesTheFile) {
  cups_->Admin("lpadmin -x RACUN");
  WriteFileBytes(In("r.prn"), "receipt\n");
  Start({"TRUE"});
  EXPECT_TRUE(WaitGone("r.prn"));
  EXPECT_NE(daemon_->Log().find("force-deleting"), std::string::npos);
}

TEST_F(DaemonTest, RejectingQueueKeepsTheFileUntilItAcceptsAgain) {
  cups_->Admin("cupsreject RACUN");
  WriteFileBytes(In("r.prn"), "receipt\n");
  Start();
  ASSERT_TRUE(WaitFor([&] { return daemon_->Log().find("state: error") != std::string::npos; }));
  EXPECT_TRUE(Exists(In("r.prn")));
  cups_->Admin("cupsaccept RACUN");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitGone("r.prn"));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"receipt\n"}));
  EXPECT_TRUE(WaitFor([&] { return daemon_->Log().find("state: idle") != std::string::npos; }));
}

TEST_F(DaemonTest, UnreadableFileIsAFailedJobAndStays) {
  WriteFileBytes(In("secret.prn"), "secret\n");
  chmod(In("secret.prn").c_str(), 0200);  // writable, not readable, by its owner only
  Start({}, "65534");
  ASSERT_TRUE(WaitFor([&] { return daemon_->Log().find("state: error") != std::string::npos; }));
  EXPECT_TRUE(Exists(In("secret.prn")));
  EXPECT_TRUE(cups_->Jobs().empty());
  EXPECT_NE(daemon_->Log().find("Permission denied"), std::string::npos);
}

TEST_F(DaemonTest, UndeletableFileIsPrintedOnce) {
  WriteFileBytes(In("kept.prn"), "kept\n");
  chmod(drop_.c_str(), 0755);  // the unprivileged daemon cannot delete here
  Start({}, "65534");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"kept\n"}));
  EXPECT_TRUE(Exists(In("kept.prn")));
  EXPECT_NE(daemon_->Log().find("cannot delete"), std::string::npos);
}

TEST_F(DaemonTest, FileBeingWrittenIsPrintedOnceWholeAfterItsWriterIsDone) {
  Start();
  {
    std::ofstream out(In("slow.prn"), std::ios::binary);
    for (int i = 0; i < 8; ++i) {
      out << "part " << i << "\n" << std::flush;
      std::this_thread::sleep_for(250ms);  // longer than a poll interval
    }
  }
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->Jobs(),
            (std::vector<std::string>{
                "part 0\npart 1\npart 2\npart 3\npart 4\npart 5\npart 6\npart 7\n"}));
}

TEST_F(DaemonTest, OnlyPlainWritableVisibleFilesArePrinted) {
  WriteFileBytes(In("ok.prn"), "ok\n");
  WriteFileBytes(In("ro.prn"), "read-only\n");
  chmod(In("ro.prn").c_str(), 0444);
  WriteFileBytes(In(".hidden.prn"), "hidden\n");
  ASSERT_EQ(mkfifo(In("fifo.prn").c_str(), 0666), 0);
  const std::string outside = cups_->Dir() + "/outside.txt";
  WriteFileBytes(outside, "outside\n");
  ASSERT_EQ(symlink(outside.c_str(), In("link.prn").c_str()), 0);
  ASSERT_EQ(mkdir(In("dir.prn").c_str(), 0755), 0);
  const std::string longName = std::string(200, 'L') + ".prn";
  WriteFileBytes(In(longName), "long name\n");
  SetWriteTime(In(longName), 5);
  Start();
  ASSERT_TRUE(cups_->WaitForJobs(2));
  Linger();
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"ok\n", "long name\n"}));
  EXPECT_EQ(ListNames(drop_),
            (std::vector<std::string>{".hidden.prn", "dir.prn", "fifo.prn", "link.prn", "ro.prn"}));
  EXPECT_EQ(ReadFileBytes(outside), "outside\n");
}

TEST_F(DaemonTest, MissingFolderIsReportedAndPolledUntilItAppears) {
  RemoveTree(drop_);
  Start();
  ASSERT_TRUE(WaitFor([&] { return daemon_->Log().find("does not exist") != std::string::npos; }));
  mkdir(drop_.c_str(), 0777);
  WriteFileBytes(In("late.prn"), "late\n");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_TRUE(WaitGone("late.prn"));
}

}  // namespace
TEST_F(DaemonTest, UnderJournaldLinesCarryTheirLevelAndNoTimestamp) {
  // stderr is the journal when JOURNAL_STREAM names its device and inode.
  const std::string log = drop_ + ".journal";
  WriteFileBytes(In("a.prn"), "receipt\n");
  // Stopped once its error line is out, however long that takes.
  RunCapture(
      "sh -c 'exec 2>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") \"$2\" NOSUCHQUEUE \"$3\" & "
      "for _ in $(seq 300); do grep -q \"printer unavailable\" \"$1\" && break; sleep 0.1; done; "
      "kill -TERM $!; wait $!' _ '" +
      log + "' '" + DaemonBinary() + "' '" + drop_ + "/*.*'");
  const std::string lines = ReadFileBytes(log);
  std::remove(log.c_str());
  EXPECT_NE(lines.find("<6>Printer: NOSUCHQUEUE\n"), std::string::npos) << lines;
  // A start that is refused says so at error level too.
  RunCapture(
      "sh -c 'exec 2>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") exec \"$2\" \"\" \"$3\"' _ '" +
      log + "' '" + DaemonBinary() + "' '" + drop_ + "/*.*'");
  const std::string refused = ReadFileBytes(log);
  std::remove(log.c_str());
  EXPECT_EQ(refused.rfind("<3>druvo: PRINTER is empty", 0), 0u) << refused;
  EXPECT_NE(lines.find("<4>warning: the print server has no queue"), std::string::npos) << lines;
  EXPECT_NE(lines.find("<3>printer unavailable: printer \"NOSUCHQUEUE\""), std::string::npos)
      << lines;
  EXPECT_NE(lines.find("<6>stopping after"), std::string::npos) << lines;
  EXPECT_EQ(lines.find(" druvo: "), std::string::npos) << "no timestamps under journald\n" << lines;
}

TEST_F(DaemonTest, SighupRescansAndSigusr1ReportsAndTheDaemonThenSleepsAgain) {
  WriteFileBytes(In("a.prn"), "a\n");
  Start();
  ASSERT_TRUE(WaitGone("a.prn"));  // the loop runs, its signals handled
  kill(daemon_->Pid(), SIGUSR1);
  EXPECT_TRUE(WaitFor([&] { return daemon_->LogCount("status: idle") == 1; }));
  kill(daemon_->Pid(), SIGHUP);
  EXPECT_TRUE(WaitFor([&] { return daemon_->LogCount("SIGHUP: rescanning") == 1; }));
  WriteFileBytes(In("b.prn"), "b\n");
  EXPECT_TRUE(WaitGone("b.prn"));
  // Woken by the signals, the loop must wait again, not spin: a spinning
  // loop uses a whole core.
  const double before = CpuSeconds(daemon_->Pid());
  std::this_thread::sleep_for(2s);
  EXPECT_LT(CpuSeconds(daemon_->Pid()) - before, 0.5);
}

TEST_F(DaemonTest, StatusSaysIdleBusyOrErrorWhatWaitsAndWhenNoDruvoRuns) {
  const std::string runtime = drop_ + ".run";
  setenv("RUNTIME_DIRECTORY", runtime.c_str(), 1);
  int rc = -1;
  std::string out;
  const auto status = [&](const std::string& args) {
    out = RunCapture("'" + DaemonBinary() + "' status " + args + " 2>&1", &rc);
    return out;
  };
  status("");
  EXPECT_EQ(rc, 3) << out;
  // systemd's side of Type=notify: a datagram socket that collects what
  // druvo says.
  const std::string notify = runtime + ".notify";
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notify.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", notify.c_str(), 1);
  setenv("WATCHDOG_USEC", "1000000", 1);
  std::string said;
  const auto heard = [&](const std::string& what) {
    char buffer[512];
    for (ssize_t n; (n = recv(listener, buffer, sizeof buffer, 0)) > 0;)
      said.append(buffer, static_cast<std::size_t>(n)).push_back('\n');
    return said.find(what) != std::string::npos;
  };
  Start();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  EXPECT_TRUE(WaitFor([&] { return heard("READY=1") && heard("STATUS=idle; 0 waiting"); })) << said;
  // Alive while the loop goes round, idle or not.
  EXPECT_TRUE(WaitFor([&] {
    heard("");
    return said.find("WATCHDOG=1") != said.rfind("WATCHDOG=1");
  })) << said;
  EXPECT_TRUE(WaitFor([&] { return status("").find("State: idle") != std::string::npos; })) << out;
  EXPECT_EQ(rc, 0);
  // 200 local clients that connect and say nothing keep nobody waiting; a
  // user who may not ask is told so.
  std::vector<int> silent;
  for (int i = 0; i < 200; ++i) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::snprintf(to.sun_path, sizeof to.sun_path, "%s/druvo.sock", runtime.c_str());
    (void)!connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    silent.push_back(fd);
  }
  EXPECT_NE(status("").find("State: idle"), std::string::npos) << out;
  EXPECT_EQ(rc, 0);
  for (const int fd : silent) close(fd);
  out = RunCapture("RUNTIME_DIRECTORY='" + runtime +
                       "' setpriv --reuid=65534 --regid=65534 "
                       "--clear-groups '" +
                       DaemonBinary() + "' status 2>&1",
                   &rc);
  EXPECT_EQ(rc, 4) << out;
  EXPECT_NE(out.find("permission denied: is this user in group druvo?"), std::string::npos) << out;
  // Busy while the server does not answer: the answer does not wait for it.
  cups_->PauseServer(true);
  WriteFileBytes(In("a.prn"), "a\n");
  EXPECT_TRUE(WaitFor([&] { return status("").find("State: busy") != std::string::npos; })) << out;
  cups_->PauseServer(false);
  EXPECT_TRUE(WaitFor([&] {
    return status("").find("Last printed: \"" + In("a.prn")) != std::string::npos;
  })) << out;
  // An error: the file at the head of the line and why, for people and scripts.
  cups_->Admin("cupsreject RACUN");
  WriteFileBytes(In("b.prn"), "b\n");
  EXPECT_TRUE(WaitFor([&] {
    return status("").find("State: error") != std::string::npos &&
           out.find("First in line: \"" + In("b.prn")) != std::string::npos;
  })) << out;
  EXPECT_EQ(rc, 1);
  // Each retry shows "busy" for as long as it tries: wait for the error it comes back to.
  EXPECT_TRUE(WaitFor([&] {
    return status("--json").find("\"state\":\"error\"") != std::string::npos;
  })) << out;
  EXPECT_NE(out.find("\"waiting\":1"), std::string::npos) << out;
  EXPECT_EQ(rc, 1);
  unsetenv("RUNTIME_DIRECTORY");
  cups_->Admin("cupsaccept RACUN");
  EXPECT_TRUE(heard("STATUS=error (cannot print " + In("b.prn"))) << said;
  close(listener);
  std::remove(notify.c_str());
  RemoveTree(runtime);
}

}  // namespace druvo::testing
