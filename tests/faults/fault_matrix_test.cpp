// Fault matrix: each scenario hurts the spool path in one way and then checks
// that no receipt was lost (a file leaves the folder only when its bytes
// reached the printer, or with force delete) and none was printed twice.
// A table of the outcomes is printed at the end.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <fstream>
#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "../integration/harness.h"
#include "../unit/fakes.h"
#include "core/clock.h"
#include "core/settings.h"
#include "platform/posix/cups_spooler.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_printer_link.h"
#include "spool/direct_printer.h"
#include "spool/events.h"
#include "spool/spool_cycle.h"

namespace druvo::testing {
namespace {

using namespace std::chrono_literals;

struct Row {
  std::string scenario;
  std::size_t files = 0;
  std::size_t printed = 0;
  std::size_t waiting = 0;
  std::size_t lost = 0;
  std::size_t doubled = 0;
  std::string note;
};

std::vector<Row>& Table() {
  static std::vector<Row> rows;
  return rows;
}

class TablePrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf(
        "\n| scenario | files | printed | still waiting | lost | printed twice | outcome |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---|\n");
    for (const Row& r : Table()) {
      std::printf("| %s | %zu | %zu | %zu | %zu | %zu | %s |\n", r.scenario.c_str(), r.files,
                  r.printed, r.waiting, r.lost, r.doubled, r.note.c_str());
    }
  }
};
const auto* const kTable = ::testing::AddGlobalTestEnvironment(new TablePrinter);

class FaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override { drop_ = MakeSharedTempDir("fault"); }
  void TearDown() override {
    if (daemon_) {
      daemon_->Stop();
      if (HasFailure()) std::cerr << "--- druvo log ---\n" << daemon_->Log();
    }
    daemon_.reset();
    cups_.reset();
    RemoveTree(drop_);
  }
  void StartCups(const std::map<std::string, std::string>& env = {}) {
    cups_ = std::make_unique<CupsEnvironment>(env);
  }
  void StartDruvo(std::vector<std::string> extra = {}, const std::string& user = "") {
    DaemonOptions options;
    options.args = {printer_, drop_ + "/*.*"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.runAsUser = user;
    daemon_ = std::make_unique<Daemon>(*cups_, options);
  }
  std::string In(const std::string& name) const { return drop_ + "/" + name; }
  // Drops a receipt whose bytes are unique, so the printer's record tells
  // which file each job came from. Older files get older stamps.
  std::string Drop(const std::string& name, long long secondsAgo = 10, std::string body = "") {
    if (body.empty()) body = "receipt " + name + "\n";
    WriteFileBytes(In(name), body);
    SetWriteTime(In(name), secondsAgo);
    dropped_[name] = body;
    return body;
  }
  // Checks nothing lost and nothing doubled, and records the row.
  void Account(const std::string& scenario, const std::string& note, bool forceDeleted = false,
               bool twiceAllowed = false) {
    Row row;
    row.scenario = scenario;
    row.note = note;
    row.files = dropped_.size();
    const std::vector<std::string> jobs = cups_ ? cups_->Jobs() : std::vector<std::string>{};
    for (const auto& [name, body] : dropped_) {
      std::size_t times = 0;
      for (const std::string& job : jobs) times += job == body ? 1 : 0;
      const bool present = Exists(In(name));
      if (times > 0) ++row.printed;
      if (present) ++row.waiting;
      if (!present && times == 0 && !forceDeleted) ++row.lost;
      if (times > 1) ++row.doubled;
    }
    Table().push_back(row);
    EXPECT_EQ(row.lost, 0u) << scenario;
    if (row.lost != 0 && daemon_) std::cerr << "--- druvo log ---\n" << daemon_->Log();
    if (!twiceAllowed) {
      EXPECT_EQ(row.doubled, 0u) << scenario;
    }
  }
  bool LogHas(const std::string& text) {
    return WaitFor([&] { return daemon_->Log().find(text) != std::string::npos; });
  }
  static void Linger() { std::this_thread::sleep_for(1500ms); }
  // Whether the daemon has read into the named file (it is mid-job).
  bool ReadingFrom(const std::string& name) const {
    const std::string procFds = "/proc/" + std::to_string(daemon_->Pid()) + "/fd";
    for (const std::string& fd : ListNames(procFds)) {
      char target[4096] = {};
      if (readlink((procFds + "/" + fd).c_str(), target, sizeof target - 1) <= 0) continue;
      if (std::string(target) != In(name)) continue;
      std::ifstream info("/proc/" + std::to_string(daemon_->Pid()) + "/fdinfo/" + fd);
      std::string key;
      long long pos = 0;
      info >> key >> pos;
      if (pos > 0) return true;
    }
    return false;
  }
  // How many of the printer's jobs are exactly body.
  std::size_t TimesPrinted(const std::string& body) const {
    const std::vector<std::string> jobs = cups_->Jobs();
    return static_cast<std::size_t>(std::count(jobs.begin(), jobs.end(), body));
  }

  // The capture printer itself, reached without CUPS.
  std::string DirectPrinter(const std::string& query = "") const {
    return "socket://127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/printer.port") + query;
  }

  std::unique_ptr<CupsEnvironment> cups_;
  std::unique_ptr<Daemon> daemon_;
  std::string printer_ = "RACUN";
  std::string drop_;
  std::map<std::string, std::string> dropped_;
};

TEST_F(FaultMatrix, QueueMissing) {
  StartCups();
  cups_->Admin("lpadmin -x RACUN");
  Drop("a.prn");
  StartDruvo();
  ASSERT_TRUE(LogHas("printer unavailable: printer \"RACUN\": the print server has no queue"));
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")));
  Account("queue missing", "file stays; \"printer unavailable\" with the reason, once");
}

TEST_F(FaultMatrix, CupsdDownThenBack) {
  StartCups();
  Drop("a.prn", 20);
  Drop("b.prn", 10);
  cups_->StopServer();
  StartDruvo();
  ASSERT_TRUE(LogHas("state: error"));
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")) && Exists(In("b.prn")));
  cups_->StartServer();
  ASSERT_TRUE(cups_->WaitForJobs(2));
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["a.prn"], dropped_["b.prn"]}));
  Account("cupsd down, then back", "files wait, then print once in order");
}

TEST_F(FaultMatrix, QueueStopped) {
  StartCups();
  cups_->Admin("cupsdisable RACUN");
  Drop("a.prn");
  StartDruvo();
  // A stopped queue still accepts jobs and holds them.
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("a.prn")); }));
  Linger();
  EXPECT_TRUE(cups_->Jobs().empty());
  cups_->Admin("cupsenable RACUN");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  Account("queue stopped", "accepted and held by CUPS; printed once when started");
}

TEST_F(FaultMatrix, QueueRejecting) {
  StartCups();
  cups_->Admin("cupsreject RACUN");
  Drop("a.prn");
  StartDruvo();
  ASSERT_TRUE(LogHas("state: error"));
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")));
  cups_->Admin("cupsaccept RACUN");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("a.prn")); }));
  Linger();
  Account("queue rejecting", "file stays; printed once after cupsaccept");
}

TEST_F(FaultMatrix, PrinterDropsTheConnectionMidJob) {
  StartCups({{"DROP_AFTER", "1000"}});
  // A socket printer that drops the line after the last byte has left the
  // sender's buffers looks exactly like one that printed. The job is made
  // larger than loopback TCP can hold in flight (send buffer at most 4 MiB,
  // plus a receive window the printer never lets grow), so the drop always
  // reaches CUPS as a failed write.
  std::string body;
  for (int i = 0; body.size() < (16u << 20); ++i) body += "line " + std::to_string(i) + "\n";
  Drop("big.prn", 10, body);
  StartDruvo();
  // CUPS has the job once druvo is done; its retry policy re-sends it whole.
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("big.prn")); }));
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->DroppedConnections(), 1u);
  EXPECT_EQ(cups_->Jobs().size(), 1u);
  Account("printer drops the connection mid-job", "CUPS retries the job; one whole copy recorded");
}

TEST_F(FaultMatrix, WriteFailsHalfWayWithFakeSpooler) {
  // Real folder, spooler that refuses after 100 bytes.
  const std::string body(1000, 'w');
  Drop("a.prn", 10, body);
  SpoolSettings settings = SettingsFor(drop_ + "/*.*");
  RecordList jobs = ListCreate();
  PosixFileSystem files;
  FakeSpooler spooler;
  spooler.writeFailsAfter = 100;
  FakeStatus status;
  FakeTimer timer;
  EngineOptions options;
  options.failurePauseMs = 0;
  SpoolEngine engine(settings, jobs, SpoolPorts{files, spooler, spooler, status, timer}, options);
  EXPECT_FALSE(CycleEndsWell(engine));
  EXPECT_TRUE(Exists(In("a.prn")));
  EXPECT_TRUE(spooler.documents.at(0).aborted);
  spooler.writeFailsAfter = -1;
  EXPECT_TRUE(CycleEndsWell(engine));
  ListDestroy(&jobs);
  EXPECT_EQ(spooler.Accepted(), (std::vector<std::string>{body}));
  Row row{"a write fails half-way (fake spooler)",
          1,
          1,
          Exists(In("a.prn")) ? 1u : 0u,
          0,
          0,
          "document withdrawn, file kept, printed whole on the next cycle"};
  Table().push_back(row);
}

TEST_F(FaultMatrix, UnreadableFile) {
  StartCups();
  Drop("a.prn", 20);
  chmod(In("a.prn").c_str(), 0200);
  Drop("b.prn", 10);
  StartDruvo({}, "65534");
  ASSERT_TRUE(LogHas("Permission denied"));
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")) && Exists(In("b.prn")));
  Account("an unreadable file", "failed job: it and the files after it wait, in order");
}

// The file system of the daemon, except that a file vanishes between the
// scan and the open.
class VanishingFiles : public PosixFileSystem {
 public:
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file,
                   std::string* error) override {
    if (std::strstr(path, "vanish") != nullptr) unlink(path);
    return PosixFileSystem::Open(path, file, error);
  }
};

TEST_F(FaultMatrix, FileVanishesBetweenScanAndOpen) {
  StartCups();
  Drop("vanish.prn", 20);
  Drop("b.prn", 10);
  dropped_.erase("vanish.prn");  // removed by its producer: not ours to print
  SpoolSettings settings = SettingsFor(drop_ + "/*.*");
  RecordList jobs = ListCreate();
  VanishingFiles files;
  CupsSpooler spooler;
  FakeStatus status;
  FakeTimer timer;
  SpoolEngine engine(settings, jobs, SpoolPorts{files, spooler, spooler, status, timer});
  EXPECT_TRUE(CycleEndsWell(engine));
  ListDestroy(&jobs);
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["b.prn"]}));
  EXPECT_TRUE(status.errors.empty());
  Account("a file vanishes between scan and open", "skipped silently; the next file prints");
}

TEST_F(FaultMatrix, UndeletableFileAcrossARestartThenDeletable) {
  StartCups();
  Drop("a.prn");
  chmod(drop_.c_str(), 0755);
  StartDruvo({}, "65534");
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")));
  EXPECT_EQ(daemon_->LogCount("cannot delete"), 1u);
  daemon_->Stop();
  StartDruvo({}, "65534");  // remembers it from its state file
  ASSERT_TRUE(LogHas("1 printed file(s) still to delete"));
  Linger();
  chmod(drop_.c_str(), 0777);
  ASSERT_TRUE(LogHas("(printed earlier)"));
  EXPECT_FALSE(Exists(In("a.prn")));
  Account("an undeletable file, druvo restarted, then the folder made writable",
          "printed once; kept and remembered across the restart; deleted when it could be");
}

TEST_F(FaultMatrix, FileWrittenSlowly) {
  StartCups();
  StartDruvo();
  std::string body;
  {
    std::ofstream out(In("slow.prn"), std::ios::binary);
    for (int i = 0; i < 12; ++i) {
      const std::string part = "slow part " + std::to_string(i) + "\n";
      out << part << std::flush;
      body += part;
      std::this_thread::sleep_for(300ms);
    }
  }
  dropped_["slow.prn"] = body;
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{body}));
  Account("a file written slowly over 3.6 s", "printed once, whole, after the writer closed it");
}

TEST_F(FaultMatrix, SpecialEntriesAreLeftAlone) {
  StartCups();
  const std::string outside = cups_->Dir() + "/outside.prn";
  WriteFileBytes(outside, "outside\n");
  ASSERT_EQ(mkfifo(In("fifo.prn").c_str(), 0666), 0);
  ASSERT_EQ(symlink(outside.c_str(), In("link.prn").c_str()), 0);
  ASSERT_EQ(mkdir(In("dir.prn").c_str(), 0777), 0);
  Drop("plain.prn");
  StartDruvo();
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["plain.prn"]}));
  EXPECT_TRUE(Exists(In("fifo.prn")) && Exists(In("link.prn")) && Exists(In("dir.prn")));
  EXPECT_EQ(ReadFileBytes(outside), "outside\n");
  Account("a FIFO, a symlink to a file outside, a directory named like a receipt",
          "left alone; the plain file prints");
}

TEST_F(FaultMatrix, LongAndUnusualNames) {
  StartCups();
  int age = 60;
  for (std::size_t length : {64u, 200u, 255u}) Drop(std::string(length - 4, 'n') + ".prn", age--);
  Drop("kv\xC3\xA4ttot \xE2\x82\xAC 1.prn", age--);
  Drop("with  two spaces .prn", age--);
  Drop("raw\xFF\xFE.prn", age--);
  StartDruvo();
  ASSERT_TRUE(cups_->WaitForJobs(dropped_.size()));
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  Account("names of 64, 200, 255 characters; non-ASCII bytes and spaces", "all printed");
}

TEST_F(FaultMatrix, EmptyHugeAndAllByteValues) {
  StartCups();
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  WriteFileBytes(In("all.prn"), all);
  SetWriteTime(In("all.prn"), 30);
  WriteFileBytes(In("empty.prn"), "");
  SetWriteTime(In("empty.prn"), 20);
  std::string big(100u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
  WriteFileBytes(In("big.prn"), big);
  SetWriteTime(In("big.prn"), 10);
  StartDruvo();
  ASSERT_TRUE(cups_->WaitForJobs(2));
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 120s));
  const auto jobs = cups_->Jobs();
  ASSERT_EQ(jobs.size(), 2u);
  // Ctrl-Z (0x1A) ends the data; no CR stands before an LF here.
  const std::string expected = all.substr(0, 0x1A);
  EXPECT_EQ(jobs[0], expected);
  EXPECT_TRUE(jobs[1] == big);
  Table().push_back({"an empty file, a 100 MB file, all 256 byte values", 3, 2, 0, 0, 0,
                     "empty file leaves without a job; others byte-exact"});
}

TEST_F(FaultMatrix, TenThousandFilesWaiting) {
  // 10,000 straight to the printer, where the print server adds nothing to
  // what the row proves but minutes; 1,000 through cupsd.
  for (const bool direct : {true, false}) {
    StartCups();
    const int count = direct ? 10000 : 1000;
    printer_ = direct ? DirectPrinter() : "RACUN";
    for (int i = 0; i < count; ++i) {
      const std::string name = "r" + std::to_string(100000 + i) + ".prn";
      const std::string body = "receipt " + std::to_string(i) + "\n";
      std::ofstream(In(name), std::ios::binary) << body;
      dropped_[name] = body;
      // One stamp per file, oldest first in the order written.
      timespec times[2];
      clock_gettime(CLOCK_REALTIME, &times[0]);
      times[0].tv_sec -= 100;
      times[0].tv_sec += i / 1000;
      times[0].tv_nsec = (i % 1000) * 1000000L;
      times[1] = times[0];
      utimensat(AT_FDCWD, In(name).c_str(), times, 0);
    }
    StartDruvo();
    ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 900s));
    ASSERT_TRUE(
        WaitFor([&] { return cups_->Jobs().size() >= static_cast<std::size_t>(count); }, 900s));
    const auto jobs = cups_->Jobs();
    bool inOrder = true;
    for (int i = 0; i < count && i < static_cast<int>(jobs.size()); ++i) {
      inOrder =
          inOrder && jobs[static_cast<std::size_t>(i)] == "receipt " + std::to_string(i) + "\n";
    }
    EXPECT_TRUE(inOrder);
    Account(
        direct ? "10,000 files waiting at once, socket://" : "1,000 files waiting at once, cupsd",
        inOrder ? "all printed once, oldest first" : "OUT OF ORDER");
    daemon_.reset();
    dropped_.clear();
  }
}

TEST_F(FaultMatrix, FolderDeletedAndRecreated) {
  StartCups();
  Drop("a.prn");
  StartDruvo();
  ASSERT_TRUE(cups_->WaitForJobs(1));
  RemoveTree(drop_);
  ASSERT_TRUE(LogHas("cannot search"));
  ASSERT_EQ(mkdir(drop_.c_str(), 0777), 0);
  ASSERT_TRUE(LogHas("again"));  // watched again, not only polled
  Drop("b.prn");
  ASSERT_TRUE(cups_->WaitForJobs(2));
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("b.prn")); }));
  EXPECT_EQ(daemon_->LogCount("cannot search"), 1u);
  Account("the folder is deleted and recreated while watched",
          "logged once; the watch is armed again and printing resumes");
}

TEST_F(FaultMatrix, KilledMidJobThenRestarted) {
  StartCups();
  std::string body(30u << 20, 'k');
  body += "end\n";
  Drop("big.prn", 10, body);
  StartDruvo();
  // Kill while the document is on its way to cupsd: once druvo has read
  // into the file, the server is paused so that druvo stalls mid-write.
  ASSERT_TRUE(WaitFor([&] { return ReadingFrom("big.prn"); }, 30s));
  cups_->PauseServer(true);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(daemon_->Stop(SIGKILL), 128 + SIGKILL);
  cups_->PauseServer(false);
  const bool keptAfterKill = Exists(In("big.prn"));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("big.prn")); }, 60s));
  ASSERT_TRUE(WaitFor([&] { return TimesPrinted(body) > 0; }, 60s));
  Account("druvo killed with SIGKILL mid-job, restarted",
          keptAfterKill ? "file kept through the kill; printed after the restart (at least once)"
                        : "killed after the delete: printed once",
          false, true);
}

TEST_F(FaultMatrix, CommandLinesThatWouldPrintSomewhereElse) {
  StartCups();
  struct Case {
    std::string args;
    int status;
    std::string says;
  };
  const std::string quoted = "'" + drop_ + "/*.*'";
  // A producer's file the service user cannot read.
  const std::string closed = drop_ + "/closed";
  ASSERT_EQ(mkdir(closed.c_str(), 0777), 0);
  WriteFileBytes(closed + "/secret.prn", "x\n");
  chmod((closed + "/secret.prn").c_str(), 0600);
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const Case cases[] = {
      {"--help", 0, "usage: druvo"},
      {"--version", 0, "druvo 1."},
      {"RACUN " + drop_ + "/a.prn " + drop_ + "/b.prn", 2, "Quote the pattern"},
      {"RACUN '" + std::string(600, 'p') + "' " + quoted, 2, "at most 511"},
      {"--delete-after=soon", 2, "--delete-after takes"},
      {"'socket://127.0.0.1:9?confirm=paper' " + quoted, 2, "known: status=escpos, confirm"},
      {"'socket://::1' " + quoted, 2, "in brackets"},
      {"help", 2, "single argument"},
      {"-v", 2, "unknown option"},
      {"'' " + quoted, 2, "PRINTER is empty"},
      {"RACUN " + drop_, 2, "names a folder: add a wildcard, as '" + drop_ + "/*.*'"},
      // --check, as ExecStartPre runs it: nothing printed, the reasons said.
      {"--check RACUN " + quoted, 0, "ok: queue RACUN"},
      {"--check NOSUCHQUEUE " + quoted, 1, "has no queue"},
      {"--check RACUN '" + drop_ + "/gone/*.*'", 1, "does not exist"},
      {"--check RACUN '" + closed + "/*.*'", 0, "ok: 1 file(s) waiting"},
  };
  std::string outcomes;
  for (const Case& c : cases) {
    int status = -1;
    const std::string out =
        RunCapture("timeout 10 '" + DaemonBinary() + "' " + c.args + " 2>&1", &status);
    EXPECT_EQ(status, c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
  }
  int status = -1;
  const std::string refused = RunCapture(
      asNobody + "timeout 10 '" + DaemonBinary() + "' --check RACUN '" + closed + "/*.*' 2>&1",
      &status);
  EXPECT_EQ(status, 1) << refused;
  EXPECT_NE(refused.find("secret.prn\" cannot be read by this user (mode 0600, group root): make "
                         "the folder group druvo, mode 2775; producer umask 007"),
            std::string::npos)
      << refused;
  EXPECT_TRUE(cups_->Jobs().empty());  // a check prints nothing
  RemoveTree(closed);
  // Warnings: druvo starts, and says what it ignored and why.
  const std::vector<std::pair<std::vector<std::string>, std::string>> warned = {
      {{"RACUN", drop_ + "/*.*", "yes"}, "is not TRUE"},
      {{"RACUN", drop_ + "/*.*", "TRUE", "x", "y"}, "after the third"},
      {{"NOSUCHQUEUE", drop_ + "/*.*"}, "warning: the print server has no queue"},
  };
  for (const auto& [args, says] : warned) {
    DaemonOptions options;
    options.args = args;
    Daemon daemon(*cups_, options);
    EXPECT_TRUE(WaitFor([&] { return daemon.Log().find(says) != std::string::npos; }))
        << daemon.Log();
    daemon.Stop();
  }
  // A queue name past the old 64-character limit and a folder with a space
  // are honoured, not replaced by the defaults.
  const std::string longQueue(100, 'Q');
  cups_->Admin("lpadmin -p " + longQueue + " -E -v socket://127.0.0.1:$(cat " + cups_->Dir() +
               "/printer.port)");
  const std::string spaced = drop_ + "/my drop";
  ASSERT_EQ(mkdir(spaced.c_str(), 0777), 0);
  WriteFileBytes(spaced + "/r.prn", "long queue\n");
  DaemonOptions options;
  options.args = {longQueue, spaced + "/*.*"};
  daemon_ = std::make_unique<Daemon>(*cups_, options);
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{"long queue\n"}));
  Account(
      "command lines: glob expanded by the shell, values too long, unknown option, ignored "
      "arguments, missing queue, a 100-character queue and a folder with a space",
      "refused with status 2 or warned about; long values and spaces honoured");
}

TEST_F(FaultMatrix, WriterThatNeverCloses) {
  StartCups();
  Drop("a.prn", 30);
  Drop("c.prn", 10);
  const std::string body = "held open\n";
  // O_CLOEXEC: the daemon forked below must not inherit the writer's end.
  const int fd = open(In("b.prn").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  SetWriteTime(In("b.prn"), 20);
  dropped_["b.prn"] = body;
  StartDruvo();
  ASSERT_TRUE(LogHas("its writer still has it open"));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["a.prn"]}));  // c waits behind b
  EXPECT_TRUE(LogHas("state: error"));
  close(fd);
  ASSERT_TRUE(LogHas("is no longer held open"));
  ASSERT_TRUE(cups_->WaitForJobs(3));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["a.prn"], body, dropped_["c.prn"]}));
  EXPECT_EQ(daemon_->LogCount("its writer still has it open"), 1u);
  Account("a writer that keeps its file open",
          "after 10 s one line and the error state; order kept");
}

TEST_F(FaultMatrix, CupsdFrozenThenSigterm) {
  StartCups();
  // The server named through a symlinked folder, and stdin closed so that
  // the connection may land on descriptor 0: the watchdog must find it.
  const std::string link = cups_->Dir() + ".link";
  ASSERT_EQ(symlink(cups_->Dir().c_str(), link.c_str()), 0);
  const auto start = [&] {
    DaemonOptions options;
    options.program = "sh";
    options.args = {"-c", "CUPS_SERVER='" + link + "/cups.sock' exec '" + DaemonBinary() + "' " +
                              printer_ + " '" + drop_ + "/*.*' 0<&-"};
    daemon_ = std::make_unique<Daemon>(*cups_, options);
  };
  start();
  ASSERT_TRUE(LogHas("Delete after"));
  std::this_thread::sleep_for(500ms);
  cups_->PauseServer(true);
  Drop("a.prn");
  std::this_thread::sleep_for(2s);  // druvo now waits on the frozen server
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(daemon_->Stop(SIGTERM), 0);
  const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - before)
                          .count();
  EXPECT_LT(stopMs, 20000) << "SIGTERM must not wait for the server";  // liveness bound
  EXPECT_TRUE(Exists(In("a.prn")));
  // A daemon left waiting gives up after its timeout and says why.
  start();
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount("print server not answering") > 0; }, 90s));
  EXPECT_TRUE(Exists(In("a.prn")));
  cups_->PauseServer(false);
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("a.prn")); }, 60s));
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  unlink(link.c_str());
  Account(
      "cupsd frozen (SIGSTOP), named through a symlink, stdin closed: SIGTERM, then left "
      "frozen past the timeout",
      "stopped in " + std::to_string(stopMs) +
          " ms; \"print server not answering\"; "
          "printed once after SIGCONT",
      false, false);
}

TEST_F(FaultMatrix, DeleteAfterPrintedSurvivesCupsdKilledMidBacklog) {
  // A stock cupsd: job history kept, job files saved lazily.
  StartCups({{"PRESERVE_HISTORY", "Yes"}});
  cups_->Admin("cupsdisable RACUN");  // jobs are accepted and wait in the server
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) Drop("r" + std::to_string(1000 + i) + ".prn", 1000 - i);
  StartDruvo({"--delete-after=printed"});
  // At most 100 jobs are in flight; the rest wait in the folder.
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount(" as job ") >= 100; }, 120s));
  ASSERT_TRUE(LogHas("100 jobs in flight: the next files wait"));
  EXPECT_EQ(ListNames(drop_).size(), static_cast<std::size_t>(kCount));  // all kept until printed
  cups_->KillServer();
  cups_->StartServer();
  cups_->RestoreQueue();
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 300s));
  Linger();
  const std::size_t resent = daemon_->LogCount("sending the file once more");
  Account("--delete-after=printed: 200 receipts, 100 in flight, cupsd killed (-9) and restarted",
          std::to_string(resent) + " lost by cupsd and sent once more; none lost, none twice");
}

TEST_F(FaultMatrix, DeleteAfterPrintedOnAStockServer) {
  // A backlog larger than the server's job limit: completed jobs are purged
  // to make room, and each must be seen complete before that.
  StartCups({{"PRESERVE_HISTORY", "Yes"}, {"MAX_JOBS", "500"}});
  for (int i = 0; i < 600; ++i) Drop("r" + std::to_string(1000 + i) + ".prn", 1000 - i);
  StartDruvo({"--delete-after=printed"});
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 300s));
  Linger();
  Account("--delete-after=printed: 600 receipts, stock MaxJobs 500",
          "at most 100 in flight; each printed once, deleted once printed");
  daemon_.reset();
  dropped_.clear();

  // Job history off: a finished job leaves the list at once. It is taken as
  // printed (said once), never sent again in a loop.
  StartCups();
  for (int i = 0; i < 20; ++i) Drop("h" + std::to_string(100 + i) + ".prn", 100 - i);
  StartDruvo({"--delete-after=printed"});
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 120s));
  Linger();
  EXPECT_EQ(daemon_->LogCount("left the print server's job history"), 1u);
  Account("--delete-after=printed: job history off (PreserveJobHistory No)",
          "said once; taken as printed; nothing sent twice");
}

TEST_F(FaultMatrix, DeleteAfterPrintedOnDebiansSocketActivatedCupsdAndOverTcp) {
  // As Debian runs it: the socket belongs to the activator (systemd), so it
  // stays the same whatever cupsd runs behind it. cupsd is killed with three
  // jobs held; after it comes back another program's job takes a freed id.
  StartCups({{"PRESERVE_HISTORY", "Yes"}, {"ACTIVATED", "1"}});
  cups_->Admin("cupsdisable RACUN");
  for (int i = 0; i < 3; ++i) Drop("k" + std::to_string(i) + ".prn", 10 - i);
  StartDruvo({"--delete-after=printed"});
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount(" as job ") >= 3; }, 60s));
  cups_->KillServer();
  cups_->StartServer();
  cups_->RestoreQueue();
  cups_->Admin("echo another program | lp -d RACUN");
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 120s)) << daemon_->Log();
  Linger();
  EXPECT_EQ(daemon_->LogCount("is unknown to the print server (lost when it restarted?)"), 3u)
      << daemon_->Log();
  Account(
      "--delete-after=printed: socket-activated cupsd killed (-9) with 3 jobs held; another "
      "program's job takes a freed id",
      "each told apart by its job-uuid; the 3 sent once more, printed once");
  daemon_->Stop();
  daemon_.reset();
  dropped_.clear();

  // Over TCP, with no job history: a job that leaves the list on the
  // connection that made it has finished.
  StartCups({{"LISTEN_TCP", "1"}});
  for (int i = 0; i < 3; ++i) Drop("t" + std::to_string(i) + ".prn", 10 - i);
  DaemonOptions options;
  options.program = "sh";
  options.args = {"-c", "CUPS_SERVER=127.0.0.1:" + ReadFileBytes(cups_->Dir() + "/tcp.port") +
                            " exec '" + DaemonBinary() + "' --delete-after=printed " + printer_ +
                            " '" + drop_ + "/*.*'"};
  daemon_ = std::make_unique<Daemon>(*cups_, options);
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 120s)) << daemon_->Log();
  Linger();
  Account("--delete-after=printed over TCP (CUPS_SERVER=host:port), no job history",
          "finished jobs taken as printed on the connection that made them; none sent twice");
}

TEST_F(FaultMatrix, DeleteAfterPrintedKeepsItsJobsThroughTimesAndAttributes) {
  // Receipts wait in a stopped queue while a backup restores their access
  // times and a scanner tags them: the same receipts, one job each.
  StartCups({{"PRESERVE_HISTORY", "Yes"}});
  cups_->Admin("cupsdisable RACUN");
  Drop("a.prn", 20);
  Drop("b.prn", 10);
  StartDruvo({"--delete-after=printed"});
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount(" as job ") >= 2; }, 60s));
  RunCapture("touch -a -d '2001-01-01' '" + In("a.prn") + "'; setfattr -n user.scanned -v 1 '" +
             In("b.prn") + "' 2>/dev/null || chmod 600 '" + In("b.prn") + "'");
  Linger();
  cups_->Admin("cupsenable RACUN");
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 60s)) << daemon_->Log();
  Linger();
  EXPECT_EQ(daemon_->LogCount(" as job "), 2u) << daemon_->Log();
  Account(
      "--delete-after=printed: access times restored and an attribute set while the queue "
      "is stopped",
      "the bytes are the same: one job each, deleted once printed");
}

TEST_F(FaultMatrix, DeleteAfterPrintedWithAStoppedQueueThenACancel) {
  StartCups({{"PRESERVE_HISTORY", "Yes"}});
  cups_->Admin("cupsdisable -r 'paper jam' RACUN");
  Drop("a.prn");
  StartDruvo({"--delete-after=printed"});
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount("wait in queue RACUN: stopped") > 0; }, 40s));
  EXPECT_NE(daemon_->Log().find("paper jam"), std::string::npos) << daemon_->Log();
  ASSERT_EQ(cups_->Admin("cancel -a RACUN"), 0);
  ASSERT_TRUE(LogHas("was cancelled on the print server; the file stays"));
  cups_->Admin("cupsenable RACUN");
  Linger();
  EXPECT_TRUE(Exists(In("a.prn")));
  EXPECT_TRUE(cups_->Jobs().empty());
  Account("--delete-after=printed: queue stopped, then the job cancelled by an administrator",
          "reported after 10 s with the reason; after the cancel the file stays, not sent again");
}

TEST_F(FaultMatrix, NewlineInAName) {
  StartCups();
  Drop("evil\nprinted \"x.prn\" (3 bytes).prn");
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  ASSERT_TRUE(cups_->WaitForJobs(1));
  const std::string log = daemon_->Log();
  EXPECT_NE(log.find("accepted by RACUN as job 1: \"" + drop_ + "/evil\\nprinted"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\nprinted \"x.prn\""), std::string::npos) << log;
  Account("a newline in a file name", "printed; the name is escaped in the log line");
}

TEST_F(FaultMatrix, SlowWriterThatIsAnotherUser) {
  // druvo runs unprivileged and the writer is another user, so no lease can
  // tell that the file is still open: the change notifications must.
  StartCups();
  StartDruvo({}, "65534");
  ASSERT_TRUE(LogHas("Delete after"));
  std::string body;
  std::string script = "umask 022; exec 3>'" + In("slow.prn") + "'; ";
  for (int i = 0; i < 12; ++i) {
    const std::string part = "part " + std::to_string(i) + " of a receipt written slowly";
    body += part + "\n";
    script += "printf '" + part + "\\n' >&3; sleep 0.35; ";
  }
  int status = -1;
  RunCapture("setpriv --reuid=1 --regid=1 --clear-groups sh -c \"" + script + "\"", &status);
  ASSERT_EQ(status, 0);
  dropped_["slow.prn"] = body;
  ASSERT_TRUE(cups_->WaitForJobs(1));
  Linger();
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{body}));
  Account("a slow writer that is another user, druvo unprivileged (no lease)",
          "printed once, whole (" + std::to_string(body.size()) + " bytes), after the close");
}

TEST_F(FaultMatrix, EventQueueOverflow) {
  // More events than the kernel queues while druvo is stopped: a scratch
  // file made and removed over and over, then the receipts. Nothing
  // machine-wide is changed.
  const long limit = std::atol(ReadFileBytes("/proc/sys/fs/inotify/max_queued_events").c_str());
  if (limit <= 0 || limit > 1000000) GTEST_SKIP() << "no inotify queue limit to exceed";
  StartCups();
  StartDruvo();
  ASSERT_TRUE(LogHas("Delete after"));
  ASSERT_EQ(kill(daemon_->Pid(), SIGSTOP), 0);
  const std::string scratch = In(".scratch");
  for (long i = 0; i < limit / 2 + 100; ++i) {
    WriteFileBytes(scratch, "x");  // created, written, closed
    std::remove(scratch.c_str());  // deleted
  }
  for (int i = 0; i < 200; ++i) Drop("o" + std::to_string(1000 + i) + ".prn", 1000 - i);
  ASSERT_EQ(kill(daemon_->Pid(), SIGCONT), 0);
  ASSERT_TRUE(LogHas("overflowed"));
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 120s));
  ASSERT_TRUE(cups_->WaitForJobs(200));
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i)
    expected.push_back(dropped_["o" + std::to_string(1000 + i) + ".prn"]);
  EXPECT_EQ(cups_->Jobs(), expected);
  Account("the event queue overflows (200 files behind more events than the kernel queues)",
          "logged; a rescan prints all, once, oldest first");
}

TEST_F(FaultMatrix, NoChangeNotifications) {
  StartCups();
  setenv("DRUVO_NO_INOTIFY", "1", 1);
  StartDruvo();
  unsetenv("DRUVO_NO_INOTIFY");
  ASSERT_TRUE(LogHas("change notifications off"));
  Drop("a.prn", 20);
  Drop("b.prn", 10);
  ASSERT_TRUE(cups_->WaitForJobs(2));
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["a.prn"], dropped_["b.prn"]}));
  Account("no change notifications (inotify unavailable)", "polling alone prints, in order");
}

std::string Pattern(std::size_t size, int seed) {
  std::string body;
  while (body.size() < size)
    body += "line " + std::to_string(seed) + "-" + std::to_string(body.size()) + "\n";
  return body;
}

TEST_F(FaultMatrix, DirectSocketPrinter) {
  StartCups();
  printer_ = DirectPrinter();
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b == 0x1A || b == '\r' ? 'x' : b));
  Drop("a.prn", 30, all);
  Drop("b.prn", 20, Pattern(300000, 2));
  Drop("c.prn", 10);
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  ASSERT_TRUE(cups_->WaitForJobs(3));
  EXPECT_EQ(cups_->Jobs(),
            (std::vector<std::string>{dropped_["a.prn"], dropped_["b.prn"], dropped_["c.prn"]}));
  Account("socket://: all byte values, 300 KB, oldest first",
          "byte-exact; deleted once the printer had all");
}

TEST_F(FaultMatrix, DirectSocketRefusedStalledSlowDropped) {
  // Refused: nothing listens on the port.
  StartCups();
  printer_ = "socket://127.0.0.1:1";
  Drop("a.prn");
  StartDruvo();
  ASSERT_TRUE(LogHas("printer unavailable"));
  Linger();
  EXPECT_EQ(daemon_->LogCount("printer unavailable"), 1u);
  EXPECT_TRUE(Exists(In("a.prn")));
  Account("socket://: printer refuses the connection", "file stays; one line");
  daemon_.reset();
  dropped_.clear();

  // Accepts but never reads: the job fails after 10 s without progress.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "stall"}});
  printer_ = DirectPrinter();
  Drop("big.prn", 10, Pattern(1u << 20, 3));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount("took no data for 10 s") > 0; }, 60s));
  EXPECT_TRUE(Exists(In("big.prn")));
  Account("socket://: printer accepts but never reads (1 MB, small receive buffer)",
          "job fails after 10 s without progress; file stays");
  daemon_.reset();
  dropped_.clear();

  // Slow, but steady: printed whole.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "slow"}});
  printer_ = DirectPrinter();
  Drop("slow.prn", 10, Pattern(200000, 4));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("slow.prn")); }, 60s));
  // The whole job, not just any: an attempt given up under load leaves a
  // part on record first.
  WaitFor([&] { return TimesPrinted(dropped_["slow.prn"]) >= 1; });
  Account("socket://: slow printer (about 50 KB/s, 200 KB)", "printed whole, once");
  daemon_.reset();
  dropped_.clear();

  // Drops the connection mid-job: sent whole again on the next cycle.
  cups_ =
      std::make_unique<CupsEnvironment>(std::map<std::string, std::string>{{"DROP_AFTER", "1000"}});
  printer_ = DirectPrinter();
  Drop("drop.prn", 10, Pattern(200000, 5));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("drop.prn")); }, 60s));
  ASSERT_TRUE(cups_->WaitForJobs(1));
  EXPECT_EQ(cups_->DroppedConnections(), 1u);
  EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["drop.prn"]}));
  Account(
      "socket://: printer drops the connection mid-job",
      "job failed, file kept, sent whole on the next cycle (the printer may have printed a part)");
}

TEST_F(FaultMatrix, DirectPrinterStatus) {
  for (const std::string state : {"paper-out", "cover-open"}) {
    cups_ = std::make_unique<CupsEnvironment>(
        std::map<std::string, std::string>{{"PRINTER_STATUS", state}});
    printer_ = DirectPrinter("?status=escpos");
    Drop("a.prn");
    StartDruvo();
    std::string reason = state == "paper-out" ? "paper out" : "cover open";
    ASSERT_TRUE(LogHas(reason)) << state;
    Linger();
    EXPECT_TRUE(Exists(In("a.prn")));
    EXPECT_TRUE(cups_->Jobs().empty());
    Account("socket://...?status=escpos: printer reports " + reason,
            "file waits; the reason is logged");
    daemon_.reset();
    dropped_.clear();
    std::remove(In("a.prn").c_str());
  }
  // Silent, or talking text that is no status (a greeting, an echo): noted
  // once, never read as paper out, and drained without spinning.
  for (const std::string state : {"silent", "chatty"}) {
    cups_ = std::make_unique<CupsEnvironment>(
        std::map<std::string, std::string>{{"PRINTER_STATUS", state}});
    printer_ = DirectPrinter("?status=escpos");
    Drop("a.prn", 20);
    Drop("b.prn", 10);
    StartDruvo();
    ASSERT_TRUE(cups_->WaitForJobs(2)) << state;
    ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); })) << state;
    EXPECT_EQ(daemon_->LogCount("does not answer status queries"), 1u) << state;
    EXPECT_EQ(cups_->Jobs(), (std::vector<std::string>{dropped_["a.prn"], dropped_["b.prn"]}));
    Account("socket://...?status=escpos: printer " +
                std::string(state == "silent" ? "answers no status query" : "talks text instead"),
            "noted once; printed anyway");
    daemon_.reset();
    dropped_.clear();
  }
}

TEST_F(FaultMatrix, FifoDevice) {
  StartCups();
  const std::string fifo = cups_->Dir() + "/lp0";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  printer_ = fifo;
  Drop("a.prn", 20);
  StartDruvo();  // no reader yet: the printer is unavailable
  ASSERT_TRUE(LogHas("nothing reads from it"));
  EXPECT_TRUE(Exists(In("a.prn")));
  // A reader like a printer driver's: each job is one open, write, close.
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const int fd = open(fifo.c_str(), O_RDONLY);
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(n));
      }
      close(fd);
    }
  });
  Drop("b.prn", 10);
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  daemon_->Stop();
  daemon_.reset();
  done = true;
  close(open(fifo.c_str(), O_WRONLY));  // lets the reader's last open return
  reader.join();
  EXPECT_EQ(received, dropped_["a.prn"] + dropped_["b.prn"]);
  Table().push_back({"a FIFO as the device: first without a reader, then with one", 2, 2, 0, 0, 0,
                     "unavailable while nothing reads; then both, byte-exact, in order"});
}

TEST_F(FaultMatrix, AppendAfterClose) {
  // A producer that closes its file and then appends to it: the first close
  // makes it ready, so the receipt may come out as one job or as two, but
  // every byte comes out once.
  StartCups();
  StartDruvo();
  ASSERT_TRUE(LogHas("Delete after"));
  { std::ofstream(In("a.prn"), std::ios::binary) << "first half\n"; }
  std::this_thread::sleep_for(5ms);
  { std::ofstream(In("a.prn"), std::ios::binary | std::ios::app) << "second half\n"; }
  const auto printed = [&] {
    std::string all;
    for (const std::string& job : cups_->Jobs()) all += job;
    return all;
  };
  const std::string whole = "first half\nsecond half\n";
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("a.prn")); }));
  Linger();
  // One job, or the first half and then the file again whole when the append
  // came while it was printed: never a byte lost, never the whole twice.
  const std::vector<std::string> jobs = cups_->Jobs();
  EXPECT_TRUE(printed() == whole ||
              (!jobs.empty() && jobs.back() == whole && printed() == jobs.front() + whole))
      << printed();
  Table().push_back({"append after close", 1, 1, 0, 0, 0,
                     "printed as " + std::to_string(jobs.size()) +
                         " job(s); every byte at least once, in order"});
}

TEST_F(FaultMatrix, TwoDruvosOnOneFolder) {
  // A producer that serializes with flock(1) on the folder holds it while
  // druvo starts: druvo never locks the folder itself.
  StartCups();
  int status = -1;
  RunCapture("flock '" + drop_ + "' sleep 3 >/dev/null 2>&1 & sleep 0.3");
  StartDruvo();
  ASSERT_TRUE(LogHas("Delete after"));
  EXPECT_EQ(RunCapture("flock -w 5 '" + drop_ + "' echo free"), "free");  // nor is it held
  // The second is started on another spelling of the folder (a symlink),
  // as a hand run beside the service or a second instance would be: its
  // pattern overlaps, so it is refused, told a name both match.
  const std::string link = drop_ + ".link";
  ASSERT_EQ(symlink(drop_.c_str(), link.c_str()), 0);
  DaemonOptions twin;
  twin.args = {printer_, link + "/*.kit"};
  Daemon second(*cups_, twin);
  EXPECT_EQ(second.Stop(0), 4);  // it waits for nothing: it exits
  EXPECT_NE(second.Log().find("serves " + link + "/ with the pattern \"*.*\", and a name such as"),
            std::string::npos)
      << second.Log();
  EXPECT_NE(second.Log().find("(pid " + std::to_string(daemon_->Pid()) + ")"), std::string::npos);
  const std::string check =
      RunCapture("'" + DaemonBinary() + "' --check " + printer_ + " '" + link + "/*.kit'", &status);
  EXPECT_EQ(status, 1) << check;
  EXPECT_NE(check.find("error: another druvo"), std::string::npos) << check;
  for (int i = 0; i < 100; ++i) Drop("r" + std::to_string(i) + ".prn", 100 - i);
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 60s));
  ASSERT_TRUE(cups_->WaitForJobs(100));
  daemon_->Stop();
  // Kitchen slips and receipts from one folder, by two druvos whose
  // patterns no name can match both.
  twin.args = {printer_, link + "/*.kit"};
  Daemon kitchen(*cups_, twin);
  ASSERT_TRUE(WaitFor([&] { return kitchen.LogCount("Delete after") > 0; }));
  StartDruvo();  // "*.*" overlaps the kitchen's
  EXPECT_EQ(daemon_->Stop(0), 4);
  DaemonOptions receipts;
  receipts.args = {printer_, drop_ + "/*.rcp"};
  daemon_ = std::make_unique<Daemon>(*cups_, receipts);
  for (int i = 0; i < 5; ++i) {
    Drop("s" + std::to_string(i) + ".kit", 20 - i);
    Drop("s" + std::to_string(i) + ".rcp", 10 - i);
  }
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 60s)) << kitchen.Log();
  ASSERT_TRUE(cups_->WaitForJobs(110));
  Linger();
  unlink(link.c_str());
  Account(
      "two druvos on one folder (one through a symlink): overlapping patterns, then *.kit "
      "beside *.rcp; a producer's flock(1) on the folder",
      "overlap refused (status 4, --check error) with a name both match; disjoint ones "
      "share the folder; the producer's flock never waits; each receipt once");
  EXPECT_EQ(kitchen.LogCount("accepted by"), 5u) << kitchen.Log();
}

TEST_F(FaultMatrix, SameNameReplacedDuringASend) {
  // A slow printer keeps the job open while the producer writes the next
  // receipt under the same name, in each of the three ways producers do.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "slow"}});
  printer_ = DirectPrinter();
  StartDruvo();
  const std::vector<std::string> ways = {"rm + create", "rename over", "rewrite in place"};
  std::size_t lost = 0, doubled = 0;
  for (std::size_t way = 0; way < ways.size(); ++way) {
    const std::string first = Pattern(40000, 10 + static_cast<int>(way));
    const std::string next = Pattern(40000, 20 + static_cast<int>(way));
    ASSERT_EQ(first.size(), next.size());
    // Written under a name the pattern does not take, then renamed in.
    WriteFileBytes(In(".r.prn.tmp"), first);
    ASSERT_EQ(rename(In(".r.prn.tmp").c_str(), In("r.prn").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return ReadingFrom("r.prn"); }, 30s)) << ways[way];
    if (way == 0) {
      unlink(In("r.prn").c_str());
      WriteFileBytes(In("r.prn"), next);
    } else if (way == 1) {
      WriteFileBytes(drop_ + "/.next", next);
      rename((drop_ + "/.next").c_str(), In("r.prn").c_str());
    } else {
      const int fd = open(In("r.prn").c_str(), O_WRONLY);
      ASSERT_EQ(write(fd, next.data(), next.size()), static_cast<ssize_t>(next.size()));
      close(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return !Exists(In("r.prn")); }, 60s)) << ways[way];
    ASSERT_TRUE(WaitFor([&] { return TimesPrinted(next) > 0; }, 30s)) << ways[way];
    lost += (TimesPrinted(first) == 0) + (TimesPrinted(next) == 0);
    doubled += (TimesPrinted(first) > 1) + (TimesPrinted(next) > 1);
  }
  EXPECT_GE(daemon_->LogCount("was replaced while it was printed"), 3u);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(doubled, 0u);
  Table().push_back(
      {"same name replaced during a send (rm + create, rename over, rewrite in place)", 6, 6 - lost,
       0, lost, doubled, "the new receipt stays, is logged and printed next"});
}

// A file system with 1-second times (ext4 with 128-byte inodes, as vfat and
// some network shares keep them), loop-mounted over a folder.
class CoarseTimesMount {
 public:
  explicit CoarseTimesMount(const std::string& over) : over_(over), image_(over + ".img") {
    int status = -1;
    RunCapture("truncate -s 32M '" + image_ + "' && mkfs.ext4 -q -F -I 128 '" + image_ +
                   "' 2>/dev/null && mount -o loop '" + image_ + "' '" + over_ +
                   "' && chmod 777 '" + over_ + "'",
               &status);
    mounted_ = status == 0;
  }
  ~CoarseTimesMount() {
    if (mounted_) RunCapture("umount '" + over_ + "'");
    unlink(image_.c_str());
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string over_, image_;
  bool mounted_ = false;
};

TEST_F(FaultMatrix, WhatIsDeletedIsJudgedByItsBytesNotItsTimes) {
  // A slow printer keeps each job open long enough for the producer to act.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "slow"}});
  printer_ = DirectPrinter();
  CoarseTimesMount coarse(drop_);
  if (!coarse.Mounted()) GTEST_SKIP() << "no loop-mounted ext4 here (needs root and a loop device)";
  StartDruvo();
  // The producer stamps its receipt after writing it (touch -d, cp -p, a
  // POS setting the sale time), and a scanner sets an attribute: the file
  // printed is deleted, once.
  const std::string stamped = Pattern(40000, 41);
  WriteFileBytes(In("stamped.prn"), stamped);
  dropped_["stamped.prn"] = stamped;
  ASSERT_TRUE(WaitFor([&] { return ReadingFrom("stamped.prn"); }, 30s));
  SetWriteTime(In("stamped.prn"), 3600);
  chmod(In("stamped.prn").c_str(), 0600);
  RunCapture("setfattr -n user.scanned -v 1 '" + In("stamped.prn") + "' 2>/dev/null");
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("stamped.prn")); }, 60s));

  // A receipt of the same size copied over the one in flight within the
  // same second, its times preserved (cp --preserve=all): same file, same
  // size, same times. The new one must be printed, not deleted.
  const std::string first = Pattern(40000, 42), next = Pattern(40000, 43);
  ASSERT_EQ(first.size(), next.size());
  WriteFileBytes(drop_ + "/.next", next);
  // Early in a second, so that the copy lands within it.
  ASSERT_TRUE(WaitFor(
      [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_nsec < 100000000;
      },
      2s));
  WriteFileBytes(In("r.prn"), first);
  dropped_["r.prn"] = first;
  ASSERT_TRUE(WaitFor([&] { return ReadingFrom("r.prn"); }, 30s));
  RunCapture("touch -r '" + In("r.prn") + "' '" + drop_ + "/.next' && cp --preserve=all '" + drop_ +
             "/.next' '" + In("r.prn") + "'");
  ASSERT_TRUE(WaitFor([&] { return TimesPrinted(next) > 0; }, 60s)) << daemon_->Log();
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("r.prn")); }, 30s));
  Linger();
  EXPECT_EQ(TimesPrinted(next), 1u);
  EXPECT_EQ(TimesPrinted(stamped), 1u);
  EXPECT_EQ(daemon_->LogCount("was replaced while it was printed"), 1u) << daemon_->Log();
  unlink((drop_ + "/.next").c_str());
  Account(
      "1-second times: a receipt stamped and given an attribute after writing; a same-size "
      "receipt copied over the one in flight within the second",
      "the stamped one printed once and deleted; the copy kept (\"was replaced\") and "
      "printed");
}

TEST_F(FaultMatrix, FilesLinkedOrMovedInWithoutALease) {
  // druvo as another user, without CAP_LEASE: no lease tells about writers.
  StartCups();
  StartDruvo({}, "65534");
  ASSERT_TRUE(LogHas("no read leases on other users' files"));
  const std::string outside = cups_->Dir() + "/outside";
  // ln, and link-then-unlink delivery: a create and never a close.
  dropped_["linked.prn"] = "linked in\n";
  WriteFileBytes(outside, dropped_["linked.prn"]);
  ASSERT_EQ(link(outside.c_str(), In("linked.prn").c_str()), 0);
  unlink(outside.c_str());
  // O_TMPFILE + linkat.
  dropped_["tmpfile.prn"] = "made as a temporary file\n";
  const int fd = open(drop_.c_str(), O_TMPFILE | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, dropped_["tmpfile.prn"].data(), dropped_["tmpfile.prn"].size()),
            static_cast<ssize_t>(dropped_["tmpfile.prn"].size()));
  ASSERT_EQ(linkat(fd, "", AT_FDCWD, In("tmpfile.prn").c_str(), AT_EMPTY_PATH), 0);
  close(fd);
  // Renamed in while its writer goes on writing.
  {
    std::ofstream out(outside, std::ios::binary);
    out << "part 0\n" << std::flush;
    ASSERT_EQ(rename(outside.c_str(), In("moved.prn").c_str()), 0);
    for (int i = 1; i < 8; ++i) {
      std::this_thread::sleep_for(80ms);
      out << "part " << i << "\n" << std::flush;
    }
  }
  dropped_["moved.prn"] = "part 0\npart 1\npart 2\npart 3\npart 4\npart 5\npart 6\npart 7\n";
  Drop("later.prn", 0);  // not held back behind them
  ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }));
  Linger();
  Account("files linked in (ln, O_TMPFILE + linkat) or renamed in while written, no lease",
          "linked ones printed at once; the moved one whole, after its writer's last write");
}

TEST_F(FaultMatrix, SigtermMidSendToASlowPrinter) {
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "slow"}});
  printer_ = DirectPrinter();
  // A receipt the printer is still taking (about 4 s at its pace) finishes:
  // cut off, its start would come out twice.
  Drop("mid.prn", 20, Pattern(200000, 31));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return ReadingFrom("mid.prn"); }, 30s));
  EXPECT_EQ(daemon_->Stop(), 0);
  EXPECT_FALSE(Exists(In("mid.prn"))) << daemon_->Log();
  // One that would take longer (about 14 s) is cut off 10 s after the stop:
  // the connection is reset so no queued byte arrives, and the restart says
  // so before it sends the file again whole.
  Drop("big.prn", 10, Pattern(700000, 30));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return ReadingFrom("big.prn"); }, 30s));
  EXPECT_EQ(daemon_->Stop(), 0);
  EXPECT_TRUE(Exists(In("big.prn")));
  EXPECT_NE(daemon_->Log().find("the connection was reset"), std::string::npos) << daemon_->Log();
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("big.prn")); }, 60s));
  ASSERT_TRUE(WaitFor([&] { return TimesPrinted(dropped_["big.prn"]) > 0; }));
  EXPECT_EQ(daemon_->LogCount("was cut off when druvo last stopped"), 1u) << daemon_->Log();
  Account("SIGTERM mid-send to a slow socket:// printer, then a restart",
          "a receipt the printer takes within 10 s of the stop finishes; a longer one is reset "
          "then, so no queued byte arrives, and the restart says so and sends it whole once");
}

TEST_F(FaultMatrix, ABacklogLongerThanTheWatchdogKeepsItFed) {
  // systemd's side: a notify socket, and a watchdog of 2 s (pings every
  // second). The backlog takes about 10 s at the slow printer's pace, all in
  // one cycle.
  cups_ = std::make_unique<CupsEnvironment>(
      std::map<std::string, std::string>{{"PRINTER_MODE", "slow"}});
  printer_ = DirectPrinter();
  const std::string notify = drop_ + ".notify";
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notify.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const timeval tick{0, 200000};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  std::atomic<bool> done{false};
  std::vector<long long> pings;
  std::thread heard([&] {
    char buffer[512];
    while (!done) {
      const ssize_t n = recv(listener, buffer, sizeof buffer, 0);
      if (n > 0 &&
          std::string(buffer, static_cast<std::size_t>(n)).find("WATCHDOG=1") != std::string::npos)
        pings.push_back(SteadyMs());
    }
  });
  for (int i = 0; i < 8; ++i)
    Drop("w" + std::to_string(i) + ".prn", 10 - i, Pattern(60000, 60 + i));
  DaemonOptions options;
  options.program = "sh";
  options.args = {"-c", "NOTIFY_SOCKET='" + notify + "' WATCHDOG_USEC=2000000 exec '" +
                            DaemonBinary() + "' " + printer_ + " '" + drop_ + "/*.*'"};
  daemon_ = std::make_unique<Daemon>(*cups_, options);
  const bool printed = WaitFor([&] { return ListNames(drop_).empty(); }, 120s);
  done = true;
  heard.join();
  close(listener);
  std::remove(notify.c_str());
  ASSERT_TRUE(printed) << daemon_->Log();
  long long widest = 0;
  for (std::size_t i = 1; i < pings.size(); ++i) widest = std::max(widest, pings[i] - pings[i - 1]);
  EXPECT_GE(pings.size(), 4u);  // the backlog outlasts the watchdog
  std::string gaps;
  for (std::size_t i = 1; i < pings.size(); ++i) gaps += std::to_string(pings[i] - pings[0]) + " ";
  EXPECT_LT(widest, 2000) << "systemd would have aborted druvo mid-backlog: " << gaps
                          << daemon_->Log();  // WatchdogSec
  Linger();
  Account("a backlog of 8 x 60 KB (about 10 s, one cycle) to a slow printer, WatchdogSec 2 s",
          std::to_string(pings.size()) + " pings, at most " + std::to_string(widest) +
              " ms apart; printed once each");
}

// An emulated ESC/POS printer on a loopback port, for one run.
class EmulatedPrinter {
 public:
  EmulatedPrinter(const std::string& dir, std::vector<std::string> faults) : dir_(dir) {
    std::vector<std::string> args = {"python3",     DRUVO_CAPTURE_PRINTER, "--escpos",
                                     "--port-file", dir + "/port",         "--out",
                                     dir + "/out",  "--print-rate",        "100000"};
    args.insert(args.end(), faults.begin(), faults.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp("python3", argv.data());
      _exit(127);
    }
    WaitFor([&] { return Exists(dir + "/port"); }, 10s);
  }
  ~EmulatedPrinter() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string Address() const {
    return "socket://127.0.0.1:" + ReadFileBytes(dir_ + "/port") + "?confirm=escpos";
  }
  std::string Paper() const { return ReadFileBytes(dir_ + "/out/paper.bin"); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

class StillTimer : public SpoolTimer {
 public:
  void Stop() override {}
  void Start(int) override {}
  void Sleep(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  std::uint64_t Now() override { return 0; }
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The paper as a customer holds it: a receipt printed on across a new roll
// is whole.
std::string WithoutRollChanges(std::string paper) {
  const std::string roll = "<<ROLL>>";
  for (std::size_t at = paper.find(roll); at != std::string::npos; at = paper.find(roll, at))
    paper.erase(at, roll.size());
  return paper;
}

TEST_F(FaultMatrix, AStopOrACrashWithConfirmationsDueNeverPrintsAReceiptTwice) {
  // A printer at 2,900 B/s with a 4 KB buffer; druvo is stopped (SIGTERM,
  // as systemctl restart does) or killed while receipts it sent wait to be
  // printed and confirmed, then started again.
  StartCups();
  std::size_t files = 0, whole = 0, twice = 0, deleted = 0;
  for (const int signal : {SIGTERM, SIGKILL}) {
    const std::string dir = MakeSharedTempDir("escpos");
    EmulatedPrinter emulator(dir, {"--print-rate", "2900", "--buffer", "4096"});
    printer_ = emulator.Address();
    std::vector<std::string> bodies;
    for (int i = 0; i < 20; ++i) {
      std::string body = "<<R" + std::to_string(signal) + "." + std::to_string(i) + ">>";
      body += std::string(1500, static_cast<char>('a' + i)) + "<<E>>\n";
      Drop("p" + std::to_string(signal) + "-" + std::to_string(100 + i) + ".prn", 100 - i, body);
      bodies.push_back(body);
    }
    StartDruvo();
    ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount("; deleted once it is printed") >= 8; }))
        << daemon_->Log();
    daemon_->Stop(signal);
    if (signal == SIGTERM) {
      EXPECT_EQ(daemon_->LogCount("stopping: waiting for the printer"), 1u) << daemon_->Log();
    }
    const std::string first = daemon_->Log();
    StartDruvo();
    ASSERT_TRUE(WaitFor([&] { return ListNames(drop_).empty(); }, 90s)) << daemon_->Log();
    std::string paper;
    for (std::string last = "-"; paper != last; std::this_thread::sleep_for(300ms)) {
      last = paper;
      paper = emulator.Paper();
    }
    for (const std::string& body : bodies) {
      ++files;
      const std::size_t times = Count(paper, body);
      whole += times > 0 ? 1 : 0;
      twice += times > 1 ? 1 : 0;
      EXPECT_EQ(times, 1u) << body.substr(0, 12) << "\n" << first << daemon_->Log();
    }
    deleted += bodies.size();
    daemon_->Stop();
    RemoveTree(dir);
  }
  // Receipts removed from the folder while their confirmations are due:
  // the printer's answers are still read, and druvo goes back to sleep.
  const std::string dir = MakeSharedTempDir("escpos");
  EmulatedPrinter emulator(dir, {"--print-rate", "2900"});
  printer_ = emulator.Address();
  for (int i = 0; i < 10; ++i) Drop("gone" + std::to_string(i) + ".prn", 10 - i, Pattern(1500, i));
  StartDruvo();
  ASSERT_TRUE(WaitFor([&] { return daemon_->LogCount("; deleted once it is printed") >= 8; }));
  for (const std::string& name : ListNames(drop_)) unlink(In(name).c_str());
  const double before = CpuSeconds(daemon_->Pid());
  std::this_thread::sleep_for(2s);
  const double used = CpuSeconds(daemon_->Pid()) - before;
  EXPECT_LT(used, 0.5) << "CPU seconds in 2 s while the removed receipts' answers came";
  daemon_->Stop();
  RemoveTree(dir);
  dropped_.clear();
  char cpu[32];
  std::snprintf(cpu, sizeof cpu, "%.2f", used);
  Table().push_back(
      {"?confirm=escpos: SIGTERM, then SIGKILL, with receipts awaiting confirmation; "
       "restarted each time; then receipts removed while their confirmations are due",
       files, whole, files - deleted, files - whole, twice,
       "the stop waits for the confirmations due; a restart settles the rest by "
       "their IDs (the printer's kept answer) before sending again; " +
           std::string(cpu) + " CPU s in 2 s while the removed ones' answers came"});
}

// Receipts in a folder printed by an engine in this process (the real
// direct printer, the emulated one at the other end) until the folder is
// empty or the time is up; then what came out on paper.
struct PaperRun {
  std::string paper;
  std::vector<std::string> lines;
  double seconds = 0;
};

PaperRun PrintThroughEngine(const std::string& in, const EmulatedPrinter& emulator,
                            DirectOptions direct, std::chrono::seconds limit) {
  SpoolSettings settings = SettingsFor(in + "/*");
  settings.deleteAfterPrinted = 1;
  std::snprintf(settings.printerName, sizeof settings.printerName, "%s",
                emulator.Address().c_str());
  const PrinterAddress address = ParsePrinterAddress(settings.printerName, true);
  FakeStatus status;
  const auto start = std::chrono::steady_clock::now();
  direct.note = [&status, start](const std::string& line) {
    status.lines.push_back(std::to_string((std::chrono::steady_clock::now() - start) / 1ms) +
                           " ms: " + line);
  };
  druvo::DirectPrinter printer(address, MakePrinterLink(address), direct);
  EngineOptions options;
  options.failurePauseMs = 20;
  options.jobQueryTicks = 0;
  RecordList jobs = ListCreate();
  PosixFileSystem fs;
  StillTimer timer;
  PaperRun run;
  {
    SpoolEngine engine(settings, jobs, SpoolPorts{fs, printer, printer, status, timer}, options);
    while (!ListNames(in).empty() && std::chrono::steady_clock::now() < start + limit) {
      engine.RunSpoolCycle();
      // As the daemon does: the printer's replies wake the loop.
      pollfd reply{printer.WaitFd(), POLLIN, 0};
      poll(&reply, 1, 2);
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ListDestroy(&jobs);
  // What the printer still has in hand comes out before it is read.
  for (std::string last = "-"; run.paper != last; std::this_thread::sleep_for(30ms)) {
    last = run.paper;
    run.paper = emulator.Paper();
  }
  run.paper = WithoutRollChanges(run.paper);
  run.lines = status.lines;
  return run;
}

// Each receipt must be deleted and whole on paper exactly once; a part
// before the whole must have been announced.
struct Judged {
  std::size_t files = 0, printed = 0, waiting = 0, unprinted = 0, twice = 0, parts = 0, unsaid = 0;
};

Judged Judge(const PaperRun& run,
             const std::vector<std::pair<std::string, std::string>>& receipts,  // path, body
             const std::string& what) {
  Judged j;
  for (const auto& [path, body] : receipts) {
    ++j.files;
    const std::size_t whole = Count(run.paper, body);
    const std::size_t seen = Count(run.paper, body.substr(0, body.find(">>") + 2));
    const bool deleted = !Exists(path);
    j.printed += whole > 0 ? 1 : 0;
    j.waiting += deleted ? 0 : 1;
    j.unprinted += deleted && whole == 0 ? 1 : 0;
    j.twice += whole > 1 ? 1 : 0;
    std::string log;
    for (const std::string& line : run.lines) log += line + "\n";
    EXPECT_TRUE(deleted && whole == 1) << what << ": " << path << " whole " << whole << " times\n"
                                       << log;
    if (seen > 1) {
      ++j.parts;
      bool said = false;
      for (const std::string& line : run.lines)
        said = said || (line.find(path) != std::string::npos &&
                        line.find("may come out twice") != std::string::npos);
      j.unsaid += said ? 0 : 1;
      EXPECT_TRUE(said) << what << ": " << path << " came out " << seen << " times unannounced";
    }
  }
  return j;
}

TEST_F(FaultMatrix, APrinterThatStopsAndPrintsOnPrintsEachReceiptOnce) {
  // Receipt printers as their makers document them, each behaviour with
  // the daemon's own bounds: a stop inside the eighth of 20 receipts
  // (1.5 KB each, a 4 KB buffer), then printed on or cleared; a slow impact
  // printer; large receipts through a printer-sized TCP window. They run
  // side by side.
  struct Behaviour {
    std::string name;
    std::vector<std::string> faults;
    int receipts = 20;
    int bytes = 1500;
  };
  const std::string stop = std::to_string(7 * 1500 + 700);
  const std::vector<Behaviour> behaviours = {
      {"paper out, printed on after the new roll", {"--paper-out-at", stop, "--reload-ms", "1500"}},
      {"cover open 1.5 s", {"--stop-at", stop, "--stop-kind", "cover", "--stop-ms", "1500"}},
      {"FEED pressed 0.4 s", {"--stop-at", stop, "--stop-kind", "feed", "--stop-ms", "400"}},
      {"paper out, buffer cleared", {"--paper-out-at", stop, "--discard", "--reload-ms", "1500"}},
      {"no automatic status (polled), buffer cleared",
       {"--no-asb", "--paper-out-at", stop, "--discard", "--reload-ms", "1500"}},
      {"latest answer only, paper out", {"--latest-only", "--paper-out-at", stop}},
      {"network reset, kept answers sent on the next connection",
       {"--drop-after", std::to_string(9 * 1500)}},
      {"impact printer, 250 B/s", {"--print-rate", "250"}, 2, 1600},
      {"8 KB receipts through a 4 KB window", {"--window", "4096"}, 10, 8000},
  };
  std::vector<Judged> judged(behaviours.size());
  std::vector<double> seconds(behaviours.size());
  const auto runOne = [&](std::size_t b) {
    const Behaviour& behaviour = behaviours[b];
    const std::string dir = drop_ + "/b" + std::to_string(b);
    const std::string in = dir + "/in";
    ASSERT_EQ(RunCapture("mkdir -p '" + in + "' && echo ok"), "ok");
    std::vector<std::pair<std::string, std::string>> receipts;
    for (int i = 0; i < behaviour.receipts; ++i) {
      const std::string tag = std::to_string(b) + "." + std::to_string(i);
      const std::string body = "<<R" + tag + ">>" + Pattern(behaviour.bytes, i) + "<<E>>\n";
      const std::string path = in + "/r" + std::to_string(100 + i);
      WriteFileBytes(path, body);
      SetWriteTime(path, 100 - i);
      receipts.emplace_back(path, body);
    }
    std::vector<std::string> faults = {"--print-rate", "10000", "--buffer", "4096"};
    faults.insert(faults.end(), behaviour.faults.begin(), behaviour.faults.end());
    EmulatedPrinter emulator(dir, faults);
    const PaperRun run = PrintThroughEngine(in, emulator, DirectOptions{}, 90s);
    judged[b] = Judge(run, receipts, behaviour.name);
    seconds[b] = run.seconds;
  };
  // Three at a time, so that the times say what the printers took.
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> runs;
  for (int w = 0; w < 3; ++w) {
    runs.emplace_back([&] {
      for (std::size_t b; (b = next++) < behaviours.size();) runOne(b);
    });
  }
  for (std::thread& t : runs) t.join();
  for (std::size_t b = 0; b < behaviours.size(); ++b) {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", seconds[b]);
    const Judged& j = judged[b];
    Table().push_back(
        {"?confirm=escpos: " + behaviours[b].name, j.files, j.printed, j.waiting, j.unprinted,
         j.twice, std::to_string(j.parts) + " with a part before the whole, announced; " + took});
  }
}

// A port nobody listens on now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// The value on the first line of a scrape that holds what.
std::string Sample(const std::string& scrape, const std::string& what) {
  for (std::size_t at = 0; at < scrape.size();) {
    std::size_t end = scrape.find('\n', at);
    if (end == std::string::npos) end = scrape.size();
    const std::string line = scrape.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#' || line.find(what) == std::string::npos) continue;
    return line.substr(line.rfind(' ') + 1);
  }
  return "";
}

TEST_F(FaultMatrix, APaperOutShowsInNodeExportersScrape) {
  // Debian's node_exporter, its textfile collector reading druvo's metrics
  // file; a printer that runs out of paper in the second of three receipts
  // and prints on 4 s later.
  const std::string exporter = "/usr/bin/prometheus-node-exporter";
  if (!Exists(exporter))
    GTEST_SKIP() << "scripts/install-deps.sh installs prometheus-node-exporter";
  StartCups();
  const std::string dir = MakeSharedTempDir("escpos");
  EmulatedPrinter emulator(
      dir, {"--print-rate", "2900", "--paper-out-at", "2000", "--reload-ms", "6000"});
  printer_ = emulator.Address();
  const std::string textfiles = MakeSharedTempDir("textfile");
  const std::string port = std::to_string(FreePort());
  const pid_t node = fork();
  if (node == 0) {
    execl(exporter.c_str(), exporter.c_str(), "--collector.disable-defaults",
          "--collector.textfile", ("--collector.textfile.directory=" + textfiles).c_str(),
          ("--web.listen-address=127.0.0.1:" + port).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto get = [](const std::string& url) {
    return RunCapture(
        "python3 -c \"import sys, urllib.request; sys.stdout.write(urllib.request."
        "urlopen('" +
        url + "', timeout=2).read().decode())\" 2>/dev/null");
  };
  const auto scrape = [&] { return get("http://127.0.0.1:" + port + "/metrics"); };
  // A real Prometheus scraping it every second with the README's alert
  // rules, their times shortened so that they fire within the test.
  const std::string promDir = MakeSharedTempDir("prometheus");
  const std::string rules = promDir + "/druvo-alerts.yml";
  WriteFileBytes(
      rules, RunCapture("sed -e 's/> 120/> 3/; s/for: 1m/for: 2s/; s/> 180/> 5/' '" DRUVO_SOURCE_DIR
                        "/packaging/monitoring/druvo-alerts.yml'"));
  const std::string config = promDir + "/prometheus.yml";
  WriteFileBytes(config,
                 "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                 "rule_files: ['" +
                     rules +
                     "']\n"
                     "scrape_configs: [{job_name: till, static_configs: "
                     "[{targets: ['127.0.0.1:" +
                     port + "']}]}]\n");
  const std::string promPort = std::to_string(FreePort());
  const pid_t prometheus = fork();
  if (prometheus == 0) {
    const int log = open((promDir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    execl("/usr/bin/prometheus", "prometheus", ("--config.file=" + config).c_str(),
          ("--storage.tsdb.path=" + promDir + "/tsdb").c_str(),
          ("--web.listen-address=127.0.0.1:" + promPort).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Its first scrape comes a few seconds after its start.
  EXPECT_TRUE(WaitFor(
      [&] {
        return get("http://127.0.0.1:" + promPort + "/api/v1/query?query=up").find("\"value\"") !=
               std::string::npos;
      },
      20s));
  std::set<std::string> fired;
  const auto firing = [&] {
    const std::string alerts = get("http://127.0.0.1:" + promPort + "/api/v1/alerts");
    for (const char* name : {"DruvoPrinterDown", "DruvoReceiptWaiting", "DruvoMetricsStale"}) {
      const std::size_t at = alerts.find(std::string("\"alertname\":\"") + name + "\"");
      if (at != std::string::npos && alerts.find("\"state\":\"firing\"", at) != std::string::npos &&
          alerts.find("\"state\":\"firing\"", at) < alerts.find("\"alertname\"", at + 1))
        fired.insert(name);
    }
    return fired;
  };
  for (int i = 0; i < 3; ++i) Drop("m" + std::to_string(i) + ".prn", 10 - i, Pattern(1500, i));
  // Druvo beside a real journald of its own, in a mount namespace of their
  // own so that the host's journal (if any) is left alone.
  const std::string journald = "/lib/systemd/systemd-journald";
  const bool journal = Exists(journald) && RunCapture("unshare -m true 2>&1").empty();
  if (journal) {
    DaemonOptions options;
    options.program = "unshare";
    options.args = {"-m",
                    "--propagation",
                    "private",
                    "sh",
                    "-c",
                    "mkdir -p /run/systemd /run/log /var/log/journal && "
                    "for d in /run/systemd /run/log /var/log/journal; do mount -t tmpfs tmpfs $d; "
                    "done && mkdir -p /run/systemd/journal && " +
                        journald + " & echo $! > " + dir +
                        "/journald.pid; while [ ! -S /run/systemd/journal/socket ]; do "
                        "sleep 0.05; done; exec \"$0\" \"$@\"",
                    DaemonBinary(),
                    printer_,
                    drop_ + "/*.*",
                    "--metrics-file=" + textfiles + "/druvo.prom"};
    daemon_ = std::make_unique<Daemon>(*cups_, options);
  } else {
    std::cerr << "no journald events: unshare or systemd-journald missing\n";
    StartDruvo({"--metrics-file=" + textfiles + "/druvo.prom"});
  }
  EXPECT_TRUE(WaitFor([&] { return scrape().find("druvo_build_info{") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] { return emulator.Paper().find("<<ROLL>>") != std::string::npos; }));
  const auto out = std::chrono::steady_clock::now();
  std::string seen;
  ASSERT_TRUE(WaitFor(
      [&] { return (seen = scrape()).find("state=\"paper_out\"} 1") != std::string::npos; }, 10s))
      << seen;
  const long long shownMs = (std::chrono::steady_clock::now() - out) / 1ms;
  EXPECT_EQ(Sample(seen, "druvo_printer_up{"), "0") << seen;
  // The printer down for 2 s, receipts waiting: both rules fire.
  EXPECT_TRUE(WaitFor([&] { return firing().count("DruvoPrinterDown") != 0; }, 8s))
      << get("http://127.0.0.1:" + promPort + "/api/v1/alerts") << "\n"
      << ReadFileBytes(promDir + "/log");
  EXPECT_EQ(fired.count("DruvoReceiptWaiting"), 1u);
  // Back: every receipt confirmed, none waiting, the printer up.
  ASSERT_TRUE(WaitFor([&] {
    seen = scrape();
    return Sample(seen, "outcome=\"printer_confirmed\"}") == "3" &&
           Sample(seen, "state=\"ok\"}") == "1" && Sample(seen, "druvo_files_waiting{") == "0" &&
           Sample(seen, "druvo_printer_up{") == "1";
  })) << seen;
  int status = 0;
  const std::string checked =
      RunCapture("promtool check metrics < '" + textfiles + "/druvo.prom' 2>&1", &status);
  EXPECT_EQ(status, 0) << checked;
  // The alert rules the README shows are rules promtool accepts.
  const std::string checkedRules = RunCapture("promtool check rules '" DRUVO_SOURCE_DIR
                                              "/packaging/monitoring/druvo-alerts.yml' 2>&1",
                                              &status);
  EXPECT_EQ(status, 0) << checkedRules;
  daemon_->Stop();
  // A druvo that no longer runs leaves its file as it was: stale.
  EXPECT_TRUE(WaitFor([&] { return firing().count("DruvoMetricsStale") != 0; }, 20s));
  kill(prometheus, SIGTERM);
  waitpid(prometheus, nullptr, 0);
  kill(node, SIGTERM);
  waitpid(node, nullptr, 0);
  std::string events = "no journald";
  if (journal) {
    // Every paper-out on a fleet is found by its MESSAGE_ID: here one, and
    // one recovery; a start and a stop, and nothing told twice.
    const std::string pid = std::to_string(std::atoi(ReadFileBytes(dir + "/journald.pid").c_str()));
    const auto entries = [&](EventKind kind) {
      return RunCapture("nsenter -t " + pid + " -m journalctl --no-pager -o cat MESSAGE_ID=" +
                        TypeOf(kind).messageId + " 2>&1");
    };
    EXPECT_EQ(entries(EventKind::PaperOut), "printer " + printer_ + ": paper out");
    EXPECT_EQ(entries(EventKind::Recovered),
              "printer " + printer_ + " is back (it was: paper out)");
    EXPECT_EQ(entries(EventKind::Started).rfind("druvo ", 0), 0u);
    EXPECT_EQ(entries(EventKind::Stopped), "druvo stopped");
    events = "journalctl MESSAGE_ID= finds the paper-out and the recovery once each";
    kill(std::stoi(pid), SIGTERM);
  }
  // A metrics file that cannot be written: one line, and printing goes on.
  Drop("m9.prn");
  StartDruvo({"--metrics-file=" + drop_ + "/missing/druvo.prom"});
  ASSERT_TRUE(WaitFor([&] { return !Exists(In("m9.prn")); })) << daemon_->Log();
  EXPECT_EQ(daemon_->LogCount("cannot write the metrics file"), 1u) << daemon_->Log();
  daemon_->Stop();
  RemoveTree(textfiles);
  RemoveTree(promDir);
  RemoveTree(dir);
  dropped_.clear();
  Table().push_back(
      {"?confirm=escpos with --metrics-file, scraped through node_exporter's "
       "textfile collector: paper out for 6 s",
       4, 4, 0, 0, 0,
       "paper_out in the scrape " + std::to_string(shownMs) +
           " ms after the printer stopped; Prometheus fires the README's alerts (printer down, "
           "receipts waiting, the file stale once druvo stopped); " +
           events + "; an unwritable metrics path is one line and printing goes on"});
}

TEST_F(FaultMatrix, ProofOfPaperRandomized) {
  // 200 runs against an emulated ESC/POS printer, each with one fault at a
  // random byte: none, paper out (with automatic status, or polled), the
  // connection dropped, power lost, no answer to the ID request. A file may
  // be deleted only once the printer printed it whole; every receipt comes
  // out whole at least once; one that comes out more than once (in part or
  // whole) was said to be at risk in the log. The runs wait more than they
  // compute: four go at a time.
  const char* kinds[] = {"clean",
                         "paper-out",
                         "polled paper-out",
                         "drop",
                         "power-loss",
                         "no-id",
                         "cover",
                         "cleared at paper-out",
                         "latest-only paper-out",
                         "polled cleared"};
  constexpr int kKinds = sizeof kinds / sizeof kinds[0];
  std::atomic<std::size_t> files{0}, printed{0}, waiting{0}, unprinted{0}, doubled{0}, unsaid{0},
      twice{0};
  std::atomic<int> next{0};
  const auto runOne = [&](int run) {
    std::mt19937 random(20261208 + static_cast<unsigned>(run));
    const std::string kind = kinds[run % kKinds];
    const std::string dir = drop_ + "/run" + std::to_string(run);
    const std::string in = dir + "/in";
    ASSERT_EQ(RunCapture("mkdir -p '" + in + "' && echo ok"), "ok");
    std::vector<std::pair<std::string, std::string>> receipts;  // path, body
    std::size_t total = 0;
    const int count = 2 + static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) {
      const std::string tag = std::to_string(run) + "." + std::to_string(i);
      std::string body = "<<R" + tag + ">>";
      for (int n = 20 + static_cast<int>(random() % 600); n > 0; --n)
        body += static_cast<char>('a' + random() % 26);
      body += "<<E" + tag + ">>\n";
      const std::string path = in + "/r" + std::to_string(i);
      WriteFileBytes(path, body);
      SetWriteTime(path, 100 - i);
      receipts.emplace_back(path, body);
      total += body.size();
    }
    const std::string at = std::to_string(1 + random() % (total - 1));
    std::vector<std::string> faults;
    if (kind == "paper-out") faults = {"--paper-out-at", at, "--reload-ms", "50"};
    if (kind == "polled paper-out")
      faults = {"--no-asb", "--paper-out-at", at, "--reload-ms", "300"};
    if (kind == "drop") faults = {"--drop-after", at};
    if (kind == "power-loss") faults = {"--power-loss-at", at, "--reboot-ms", "50"};
    if (kind == "no-id") faults = {"--no-id"};
    if (kind == "cover") faults = {"--stop-at", at, "--stop-kind", "cover", "--stop-ms", "150"};
    if (kind == "cleared at paper-out") faults = {"--paper-out-at", at, "--discard"};
    if (kind == "latest-only paper-out")
      faults = {"--latest-only", "--paper-out-at", at, "--reload-ms", "200"};
    if (kind == "polled cleared") faults = {"--no-asb", "--paper-out-at", at, "--discard"};
    EmulatedPrinter emulator(dir, faults);
    DirectOptions direct;
    direct.statusTimeoutMs = 300;
    direct.pollStatusMs = 20;
    direct.confirmTimeoutMs = 5000;
    const PaperRun result = PrintThroughEngine(in, emulator, direct, 30s);
    const Judged judged = Judge(result, receipts, kind + " run " + std::to_string(run));
    files += judged.files;
    printed += judged.printed;
    waiting += judged.waiting;
    unprinted += judged.unprinted;
    twice += judged.twice;
    doubled += judged.parts;
    unsaid += judged.unsaid;
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (int run; (run = next++) < 200;) runOne(run);
    });
  }
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(unprinted.load(), 0u);
  EXPECT_EQ(unsaid.load(), 0u);
  EXPECT_EQ(twice.load(), 0u);
  Table().push_back(
      {"proof of paper: 200 randomized runs (paper out or cover open, printed on or "
       "cleared, with automatic status or polled, latest answer only; drop, power "
       "loss, no ID)",
       files, printed, waiting, unprinted, twice.load(),
       "deleted only once printed whole; none whole twice; " + std::to_string(doubled.load()) +
           " with a part before the whole, each announced"});
}

}  // namespace
}  // namespace druvo::testing
