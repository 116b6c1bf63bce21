#include "spool/spool_cycle.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace druvo {
namespace {

using namespace druvo::testing;

class SpoolCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadDefaultSettings(settings_, CommandLineRules::Posix);
    std::strcpy(settings_.fileSource, "/in/*.*");
    jobs_ = ListCreate();
  }
  void TearDown() override { ListDestroy(&jobs_); }
  SpoolEngine& Engine(EngineOptions options = {}) {
    options.jobQueryTicks = 0;  // the fake clock stands still
    engine_ = std::make_unique<SpoolEngine>(
        settings_, jobs_, SpoolPorts{files_, spooler_, spooler_, status_, timer_, store_}, options);
    return *engine_;
  }

  SpoolSettings settings_;
  RecordList jobs_ = nullptr;
  FakeFileSystem files_;
  FakeSpooler spooler_;
  FakeStatus status_;
  FakeTimer timer_;
  StateStore* store_ = nullptr;
  std::unique_ptr<SpoolEngine> engine_;
};

TEST_F(SpoolCycleTest, NothingWaitingChangesNothing) {
  EXPECT_TRUE(CycleEndsWell(Engine()));
  EXPECT_TRUE(status_.states.empty());
  EXPECT_TRUE(timer_.events.empty());
  // A folder that cannot be searched is the error state, said once, until
  // it can be searched again.
  files_.searchFails = true;
  engine_->RunSpoolCycle();
  engine_->RunSpoolCycle();
  EXPECT_EQ(status_.states, (std::vector<EngineState>{EngineState::Error}));
  EXPECT_EQ(status_.faults.back(), "cannot search /in/*.*");
  EXPECT_EQ(status_.LinesWith("cannot search"), 1u);
  files_.searchFails = false;
  engine_->RunSpoolCycle();
  EXPECT_EQ(status_.states.back(), EngineState::Idle);
  EXPECT_EQ(status_.faults.back(), "");
  EXPECT_TRUE(timer_.events.empty());
}

TEST_F(SpoolCycleTest, PrintsOldestFirstDeletesAndReturnsToIdle) {
  files_.Add("/in/b.prn", "second", 200);
  files_.Add("/in/a.prn", "third", 300);
  files_.Add("/in/c.prn", "first", 100);
  EXPECT_TRUE(CycleEndsWell(Engine()));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_TRUE(files_.files.empty());
  EXPECT_EQ(status_.states, (std::vector<EngineState>{EngineState::Busy, EngineState::Idle}));
  EXPECT_EQ(timer_.events, (std::vector<std::string>{"stop", "start 200"}));
  EXPECT_TRUE(ListIsEmpty(jobs_));
}

TEST_F(SpoolCycleTest, OnlyPlainArchiveFilesMatchingThePatternAreTaken) {
  std::strcpy(settings_.fileSource, "/in/*.prn");
  files_.Add("/in/ok.prn", "ok", 1);
  files_.Add("/in/ro.prn", "ro", 1);
  files_.files["/in/ro.prn"].attributes = kAttrArchive | kAttrReadOnly;
  files_.Add("/in/dir.prn", "", 1);
  files_.files["/in/dir.prn"].attributes = kAttrDirectory;
  files_.Add("/in/fifo.prn", "", 1);
  files_.files["/in/fifo.prn"].attributes = kAttrReparsePoint;
  files_.Add("/in/normal.prn", "n", 1);
  files_.files["/in/normal.prn"].attributes = kAttrNormal;
  files_.Add("/in/other.txt", "t", 1);
  EXPECT_EQ(Engine().CollectJobs(), 1);
  ListClear(jobs_);
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"ok"}));
}

TEST_F(SpoolCycleTest, ARefusedJobStopsTheWalkAndKeepsTheRestInOrder) {
  files_.Add("/in/1", "one", 1);
  files_.Add("/in/2", "two", 2);
  files_.Add("/in/3", "three", 3);
  spooler_.failDocument = 2;
  EXPECT_FALSE(CycleEndsWell(Engine()));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one"}));
  EXPECT_EQ(files_.files.size(), 2u);
  EXPECT_EQ(status_.states, (std::vector<EngineState>{EngineState::Busy, EngineState::Error}));
  EXPECT_EQ(timer_.events, (std::vector<std::string>{"stop", "sleep 1000", "start 200"}));

  spooler_.failDocument = 0;  // the printer is back
  EXPECT_TRUE(CycleEndsWell(*engine_));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(status_.states.back(), EngineState::Idle);
  EXPECT_TRUE(files_.files.empty());
}

TEST_F(SpoolCycleTest, ForceDeleteRemovesTheFailedFileOnly) {
  settings_.forceDelete = 1;
  files_.Add("/in/1", "one", 1);
  files_.Add("/in/2", "two", 2);
  files_.Add("/in/3", "three", 3);
  spooler_.failDocument = 2;
  EXPECT_FALSE(CycleEndsWell(Engine()));
  EXPECT_EQ(files_.deleted, (std::vector<std::string>{"/in/1", "/in/2"}));
  EXPECT_EQ(files_.files.count("/in/3"), 1u);
}

TEST_F(SpoolCycleTest, MissingPrinterShowsTheMessageEachTimeButLogsOnce) {
  files_.Add("/in/1", "one", 1);
  spooler_.failAt = "open";
  Engine();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(CycleEndsWell(*engine_));
  ASSERT_EQ(status_.errors.size(), 3u);
  EXPECT_EQ(status_.errors[0].message, "Error OpenPrinter !!");
  EXPECT_NE(status_.errors[0].detail.find("RACUN"), std::string::npos);
  EXPECT_FALSE(status_.errors[0].repeated);
  EXPECT_TRUE(status_.errors[1].repeated);
  EXPECT_TRUE(status_.errors[2].repeated);
  EXPECT_EQ(std::count(status_.lines.begin(), status_.lines.end(), "state: error"), 1);
  EXPECT_EQ(files_.files.size(), 1u);

  spooler_.failAt.clear();
  EXPECT_TRUE(CycleEndsWell(*engine_));
  EXPECT_EQ(status_.lines.back(), "state: idle");
  spooler_.failAt = "open";
  files_.Add("/in/2", "two", 5);
  engine_->RunSpoolCycle();
  EXPECT_FALSE(status_.errors.back().repeated);  // a new episode is reported again
}

TEST_F(SpoolCycleTest, FilesThatCannotBeOpenedFollowTheirOutcome) {
  files_.Add("/in/1", "one", 1);
  files_.Add("/in/2", "two", 2);
  files_.Add("/in/3", "three", 3);
  files_.files["/in/2"].openAs = OpenOutcome::NotReady;
  EXPECT_TRUE(CycleEndsWell(Engine()));  // not ready: no error, walk ends
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one"}));
  EXPECT_EQ(status_.states.back(), EngineState::Idle);

  files_.files["/in/2"].openAs = OpenOutcome::Gone;  // vanished: skipped silently
  EXPECT_TRUE(CycleEndsWell(*engine_));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one", "three"}));

  files_.Add("/in/4", "four", 4);
  files_.files["/in/2"].openAs = OpenOutcome::Failed;  // denied: a failed job
  EXPECT_FALSE(CycleEndsWell(*engine_));
  EXPECT_EQ(files_.files.count("/in/2"), 1u);
  EXPECT_EQ(files_.files.count("/in/4"), 1u);
  EXPECT_EQ(status_.states.back(), EngineState::Error);
}

TEST_F(SpoolCycleTest, UndeletableFileIsPrintedOnceWhileUnchanged) {
  files_.Add("/in/1", "one", 1);
  files_.files["/in/1"].undeletable = true;
  Engine();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(CycleEndsWell(*engine_));
  EXPECT_EQ(spooler_.Accepted().size(), 1u);
  EXPECT_EQ(status_.states,
            (std::vector<EngineState>{EngineState::Busy,
                                      EngineState::Idle}));  // later ticks find nothing to do

  files_.files["/in/1"].content = "one, rewritten";  // a new receipt under the same name
  files_.files["/in/1"].writeTime = 9;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 2u);

  // Once it disappears and an identical file comes back, it prints again.
  files_.files.erase("/in/1");
  engine_->RunSpoolCycle();
  files_.Add("/in/1", "one, rewritten", 9);
  files_.files["/in/1"].undeletable = true;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 3u);

  // Every cycle tries the delete again, and says so once it works.
  EXPECT_EQ(status_.LinesWith("cannot delete \"/in/1\" after printing"), 3u);
  files_.files["/in/1"].undeletable = false;
  engine_->RunSpoolCycle();
  EXPECT_TRUE(files_.files.empty());
  EXPECT_EQ(status_.LinesWith("deleted \"/in/1\" (printed earlier)"), 1u);
  EXPECT_EQ(spooler_.Accepted().size(), 3u);
}

TEST(FormatStatus, NamesStayOneValueForPeopleAndScripts) {
  EngineReport r;
  r.state = EngineState::Error;
  r.waiting = 2;
  r.head = "/in/a \"b\"\nc";
  r.headWhy = "paper out";
  const StatusContext c{"RACUN", "/in/*.*", "accepted", 0};
  EXPECT_NE(FormatStatus(r, c, false).find("First in line: \"/in/a \"b\"\\nc\": paper out"),
            std::string::npos)
      << FormatStatus(r, c, false);
  EXPECT_NE(FormatStatus(r, c, true).find("\"head\":\"/in/a \\\"b\\\"\\u000ac\""),
            std::string::npos)
      << FormatStatus(r, c, true);
}

TEST(StatusField, ReadsBackWhatTheJsonReportSays) {
  // What a tray showing a service reads from its report: names holding
  // quotes, backslashes, newlines and a key's own text come back whole.
  EngineReport r;
  r.state = EngineState::Busy;
  r.waiting = 12;
  r.reason = "queue \"K\" said: \\\\srv\\k\n\"state\":\"idle\"";
  const StatusContext c{"EPSON \"TM\"", "C:\\IN\\*.*", "accepted", 0, true};
  const std::string json = FormatStatus(r, c, true);
  EXPECT_EQ(StatusField(json, "state"), "busy");
  EXPECT_EQ(StatusField(json, "reason"), r.reason);
  EXPECT_EQ(StatusField(json, "printer"), c.printer);
  EXPECT_EQ(StatusField(json, "pattern"), c.pattern);
  EXPECT_EQ(StatusField(json, "waiting"), "12");
  EXPECT_EQ(StatusField(json, "paused"), "true");
  EXPECT_EQ(StatusField(json, "none"), "");
  EXPECT_EQ(StatusField("{\"state\":", "state"), "");
}

TEST(StateFileName, OneNamePerFolderThatNoOtherFolderShares) {
  EXPECT_EQ(StateFileName("/var/spool/druvo", '/'), "state-var-spool-druvo");
  EXPECT_EQ(StateFileName("/var/spool/druvo/", '/'), StateFileName("/var/spool/druvo", '/'));
  EXPECT_NE(StateFileName("/a/b", '/'), StateFileName("/a-b", '/'));
  EXPECT_EQ(StateFileName("C:\\FPRI\\", '\\'), "state-C%3A-FPRI");
  const std::string deep = "/" + std::string(300, 'x');
  EXPECT_LE(StateFileName(deep, '/').size(), 200u);
  EXPECT_NE(StateFileName(deep, '/'), StateFileName(deep + "y", '/'));
}

TEST_F(SpoolCycleTest, WhatMustBeRememberedSurvivesARestartAndADamagedFileIsNoHarm) {
  FakeStateStore store;
  store_ = &store;
  settings_.deleteAfterPrinted = 1;
  spooler_.nextJobId = 7;
  files_.Add("/in/printed", "p", 1);
  files_.files["/in/printed"].undeletable = true;
  files_.Add("/in/sent\nname", "s", 2);
  Engine().RunSpoolCycle();  // job 7 completes below; job 8 stays in flight
  spooler_.jobStates[7].state = JobState::Completed;
  engine_->RunSpoolCycle();
  EXPECT_EQ(engine_->State().undeletable.count("/in/printed"), 1u);
  EXPECT_EQ(engine_->State().inFlight.at("/in/sent\nname").jobId, 8);

  // A restart reads the same set back: nothing is printed again.
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 2u);
  EXPECT_EQ(status_.LinesWith("1 printed file(s) still to delete, 1 job(s) in flight"), 1u);

  // Files that are gone are dropped from it.
  files_.files.clear();
  engine_->RunSpoolCycle();
  EXPECT_EQ(store.text, "druvo-state 3\n");

  // A file kept by the version before identities is still honoured.
  files_.Add("/in/old", "old", 4);
  store.text = "druvo-state 1\nundeletable 4 3 /in/old\n";
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 2u);
  EXPECT_TRUE(files_.files.empty());

  for (const char* damaged : {"garbage", "druvo-state 2\ninflight x y z /a\n",
                              "druvo-state 1\nundeletable 1 2 bad%zzname\n"}) {
    store.text = damaged;
    files_.Add("/in/new", "new", 3);
    Engine().RunSpoolCycle();
    EXPECT_EQ(status_.LinesWith("is damaged"), 1u) << damaged;
    EXPECT_EQ(spooler_.Accepted().back(), "new");
    status_.lines.clear();
  }
  // A damaged line costs only itself: the printed file the next line
  // remembers is deleted, not printed again.
  files_.files.clear();
  files_.Add("/in/old", "old", 4);
  store.text = "druvo-state 1\ninflight x\nundeletable 4 3 /in/old\n";
  const std::size_t sent = spooler_.Accepted().size();
  Engine().RunSpoolCycle();
  EXPECT_EQ(status_.LinesWith("is damaged (line 2); what the other lines remember is kept"), 1u);
  EXPECT_EQ(spooler_.Accepted().size(), sent);
  EXPECT_TRUE(files_.files.empty());

  store.loadFails = true;
  Engine();
  EXPECT_EQ(status_.LinesWith("cannot read the state file \"/state\": permission denied"), 1u);
}

TEST_F(SpoolCycleTest, DeleteAfterPrintedWaitsForTheJobAndResendsLostOnesInOrder) {
  settings_.deleteAfterPrinted = 1;
  spooler_.nextJobId = 1;
  files_.Add("/in/a", "a", 1);
  files_.Add("/in/b", "b", 2);
  files_.Add("/in/c", "c", 3);
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 3u);
  EXPECT_EQ(files_.files.size(), 3u);  // kept until printed

  // Pending jobs are not sent again; a newer file still flows.
  files_.Add("/in/d", "d", 4);
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"a", "b", "c", "d"}));

  // Server down: nobody can tell, so nothing is sent again or deleted. Its
  // two faults, asking and printing a new file, alternate at every cycle:
  // each is told once.
  spooler_.jobStatesFail = true;
  spooler_.failAt = "open";
  files_.Add("/in/e", "e", 5);
  for (int i = 0; i < 3; ++i) engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().size(), 4u);
  EXPECT_EQ(status_.LinesWith("cannot ask the print server"), 1u);
  EXPECT_EQ(std::count_if(status_.errors.begin(), status_.errors.end(),
                          [](const ShownError& e) { return !e.repeated; }),
            1);
  spooler_.jobStatesFail = false;
  spooler_.failAt.clear();
  files_.files.erase("/in/e");

  // a printed; b lost in a restart (the server's run changed); c cancelled
  // by an administrator; d aborted by the server.
  spooler_.serverRun = 2;
  spooler_.jobStates[1].state = JobState::Completed;
  spooler_.jobStates.erase(2);
  spooler_.jobStates[3].state = JobState::Cancelled;
  spooler_.jobStates[4].state = JobState::Aborted;
  engine_->RunSpoolCycle();
  EXPECT_EQ(files_.files.count("/in/a"), 0u);
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"a", "b", "c", "d", "b", "d"}));
  EXPECT_EQ(status_.LinesWith("unknown to the print server (lost when it restarted?)"), 1u);
  EXPECT_EQ(status_.LinesWith("was cancelled on the print server; the file stays"), 1u);
  EXPECT_EQ(status_.LinesWith("was aborted by the print server"), 1u);
  engine_->RunSpoolCycle();  // the cancelled one is not sent again
  EXPECT_EQ(spooler_.Accepted().size(), 6u);
  EXPECT_EQ(files_.files.count("/in/c"), 1u);

  // b's new job is lost too, in another restart: this server was seen to
  // keep a printed job (a), so it lost b in a crash again, and b goes a
  // third time. d's new job number comes back made at another time:
  // another client's job after a restart, so d's own was lost.
  spooler_.jobStates.erase(5);
  spooler_.jobStates[6] = JobStatus{JobState::Completed, 100, {}, "urn:uuid:someone-else"};
  spooler_.serverRun = 3;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(),
            (std::vector<std::string>{"a", "b", "c", "d", "b", "d", "b", "d"}));
  EXPECT_EQ(status_.LinesWith("is unknown to the print server again; taken as printed"), 0u);
  EXPECT_EQ(files_.files.count("/in/b"), 1u);
  EXPECT_EQ(files_.files.count("/in/d"), 1u);
}

TEST_F(SpoolCycleTest, DeleteAfterPrintedSendsALostJobOnceMoreOnlyWhereNoPrintedJobWasSeen) {
  // No job of ours was ever seen printed: a server without job history
  // that restarts looks the same as one that loses jobs. Sent once more,
  // then taken as printed: never in a loop.
  settings_.deleteAfterPrinted = 1;
  spooler_.nextJobId = 1;
  files_.Add("/in/b", "b", 1);
  Engine().RunSpoolCycle();
  for (int run = 2; run <= 3; ++run) {
    spooler_.jobStates.clear();
    spooler_.serverRun = run;
    engine_->RunSpoolCycle();
  }
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"b", "b"}));
  EXPECT_EQ(status_.LinesWith("is unknown to the print server again; taken as printed"), 1u);
  EXPECT_EQ(files_.files.count("/in/b"), 0u);
}

TEST_F(SpoolCycleTest, DeleteAfterPrintedBoundsWhatIsInFlightAndWaitsOutABusyServer) {
  settings_.deleteAfterPrinted = 1;
  settings_.forceDelete = 1;
  spooler_.nextJobId = 1;
  spooler_.serverRun = 7;
  for (int i = 0; i < 4; ++i) files_.Add("/in/" + std::to_string(i), std::to_string(i), i);
  EngineOptions options;
  options.maxInFlight = 2;
  Engine(options).RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(status_.LinesWith("2 jobs in flight: the next files wait"), 1u);

  // Job 1 finished and left the history of the same server run: printed,
  // never sent again.
  spooler_.jobStates.erase(1);
  spooler_.failAt = "write";
  spooler_.laterOnFail = true;  // "too many jobs": wait, never force-delete
  engine_->RunSpoolCycle();
  EXPECT_EQ(status_.LinesWith("left the print server's job history"), 1u);
  EXPECT_EQ(files_.files.count("/in/0"), 0u);
  EXPECT_EQ(files_.files.count("/in/2"), 1u);
  EXPECT_EQ(engine_->InError(), false);

  // The printer changed while job 2 waited: cancelled there, sent here.
  spooler_.failAt.clear();
  std::strcpy(settings_.printerName, "KUHINJA");
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.cancelled, (std::vector<int>{2}));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"0", "1", "1", "2"}));
}

TEST_F(SpoolCycleTest, AStuckFileIsReportedOnceThenClearsAndKeepsTheOrder) {
  EngineOptions options;
  options.stuckTicks = 10000 * kTicksPerMillisecond;
  files_.Add("/in/1", "one", 1);
  files_.Add("/in/2", "two", 2);
  files_.files["/in/1"].openAs = OpenOutcome::NotReady;
  Engine(options);
  for (int second = 0; second <= 12; ++second) {
    timer_.now = static_cast<std::uint64_t>(second) * 1000 * 10000;
    engine_->RunSpoolCycle();
  }
  EXPECT_TRUE(spooler_.Accepted().empty());
  EXPECT_EQ(status_.LinesWith("\"/in/1\" has waited 10 s: its writer still has it open"), 1u);
  EXPECT_EQ(status_.states.back(), EngineState::Error);
  EXPECT_EQ(status_.faults.back(), "waiting for /in/1: its writer still has it open");

  files_.files["/in/1"].openAs = OpenOutcome::Opened;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(status_.LinesWith("is no longer held open"), 1u);
  EXPECT_EQ(status_.states.back(), EngineState::Idle);
  EXPECT_EQ(status_.faults.back(), "");
}

TEST_F(SpoolCycleTest, LogLinesNameEachFaultOnceAndEscapeControlCharacters) {
  // A server whose reason changes from try to try is still one fault.
  files_.Add("/in/forged\nprinted \"x\" (3 bytes)", "one", 1);
  files_.Add("/in/ends in blank ", "two", 2);
  spooler_.failAt = "open";
  Engine();
  for (int i = 0; i < 4; ++i) engine_->RunSpoolCycle();
  EXPECT_EQ(status_.errors.size(), 4u);
  EXPECT_EQ(std::count_if(status_.errors.begin(), status_.errors.end(),
                          [](const ShownError& e) { return !e.repeated; }),
            1);
  spooler_.failAt.clear();
  engine_->RunSpoolCycle();
  for (const std::string& line : status_.lines) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
  EXPECT_EQ(status_.LinesWith("printed \"/in/forged\\nprinted"), 1u);
  // Names are used as they are: one ending in a blank is printed too.
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(SpoolCycleTest, ANameGivenToANewFileIsNeverDeletedOrSkippedUnprinted) {
  // Replaced while it was printed: the new receipt stays and comes next.
  files_.Add("/in/1", "old", 1);
  files_.files["/in/1"].replacedAfterRead = "new";
  Engine().RunSpoolCycle();
  EXPECT_EQ(status_.LinesWith("was replaced while it was printed"), 1u);
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"old", "new"}));
  EXPECT_TRUE(files_.files.empty());

  // Remembered as printed but undeletable, then replaced by a file of the
  // same size and write time (cp -p): the new one is printed.
  files_.Add("/in/2", "two", 5);
  files_.files["/in/2"].undeletable = true;
  engine_->RunSpoolCycle();
  files_.Add("/in/2", "TWO", 5);
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"old", "new", "two", "TWO"}));

  // The bytes decide, not the times: a receipt stamped after it was written
  // is deleted once; one rewritten in place within the same second (the
  // same size, file and times) stays and is printed.
  spooler_.documents.clear();
  files_.Add("/in/3", "three", 6);
  files_.files["/in/3"].stampedAfterRead = 99;
  files_.Add("/in/4", "four", 7);
  files_.files["/in/4"].rewrittenAfterRead = "FOUR";
  engine_->RunSpoolCycle();
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"three", "four", "FOUR"}));
  EXPECT_TRUE(files_.files.empty());
}

TEST_F(SpoolCycleTest, AFileThatGrewWhilePrintedIsKeptAndPrintedAgainWhole) {
  files_.Add("/in/1", "first half\n", 1);
  files_.files["/in/1"].appendedAfterEnd = "second half\n";
  Engine().RunSpoolCycle();
  EXPECT_EQ(files_.files.count("/in/1"), 1u);  // not deleted with the new bytes in it
  EXPECT_EQ(status_.LinesWith("grew while it was printed"), 1u);
  files_.files["/in/1"].content = "first half\nsecond half\n";
  files_.files["/in/1"].appendedAfterEnd.clear();  // the writer is done now
  files_.files["/in/1"].writeTime = 2;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(),
            (std::vector<std::string>{"first half\n", "first half\nsecond half\n"}));
  EXPECT_TRUE(files_.files.empty());
}

TEST_F(SpoolCycleTest, DriveRelativePatternKeepsItsDrive) {
  files_.separator = '\\';
  std::strcpy(settings_.fileSource, "C:*.prn");
  files_.Add("C:a.prn", "drive", 1);
  EXPECT_TRUE(CycleEndsWell(Engine()));
  EXPECT_EQ(files_.deleted, (std::vector<std::string>{"C:a.prn"}));
}

TEST_F(SpoolCycleTest, FilesStillSettlingWaitForALaterTick) {
  EngineOptions options;
  options.settleTicks = 200 * kTicksPerMillisecond;
  timer_.now = 10'000'000'000;
  files_.Add("/in/old", "old", timer_.now - 300 * kTicksPerMillisecond);
  files_.Add("/in/young", "young", timer_.now - 100 * kTicksPerMillisecond);
  files_.Add("/in/skewed", "skewed", timer_.now + 3'600'000 * kTicksPerMillisecond);
  EXPECT_TRUE(CycleEndsWell(Engine(options)));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"old", "skewed"}));
  timer_.now += 150 * kTicksPerMillisecond;
  engine_->RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted().back(), "young");
}

TEST_F(SpoolCycleTest, LongNamesArePrintedAndOverlongOnesSkippedWithoutHarm) {
  files_.maxPath = 300;
  const std::string longName(255, 'L');
  const std::string tooLong = std::string(255, 'T');
  std::strcpy(settings_.fileSource, ("/in/" + std::string(60, 'd') + "/*.*").c_str());
  const std::string folder = "/in/" + std::string(60, 'd') + "/";
  files_.Add(folder + longName, "long", 1);
  files_.Add(folder + "short", "short", 2);
  files_.maxPath = folder.size() + 254;  // the 255-character name no longer fits
  files_.Add(folder + tooLong.substr(0, 254), "fits", 3);
  EXPECT_TRUE(CycleEndsWell(Engine()));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"short", "fits"}));
  EXPECT_EQ(files_.files.count(folder + longName), 1u);
  engine_->RunSpoolCycle();
  EXPECT_EQ(std::count_if(status_.lines.begin(), status_.lines.end(),
                          [](const std::string& l) { return l.rfind("skipped", 0) == 0; }),
            1);
}

TEST_F(SpoolCycleTest, BarePatternUsesNamesRelativeToTheWorkingFolder) {
  std::strcpy(settings_.fileSource, "*.prn");
  files_.Add("a.prn", "bare", 1);
  EXPECT_TRUE(CycleEndsWell(Engine()));
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"bare"}));
  EXPECT_EQ(files_.deleted, (std::vector<std::string>{"a.prn"}));
}

TEST_F(SpoolCycleTest, StopRequestEndsTheCycleAfterTheCurrentJob) {
  files_.Add("/in/1", "one", 1);
  files_.Add("/in/2", "two", 2);
  volatile std::sig_atomic_t stop = 0;
  // The flag is raised while the first document is written.
  struct RaisingSpooler : FakeSpooler {
    volatile std::sig_atomic_t* flag = nullptr;
    OpResult Write(const void* d, std::size_t n) override {
      *flag = 1;
      return FakeSpooler::Write(d, n);
    }
  } raising;
  raising.flag = &stop;
  SpoolEngine engine(settings_, jobs_, SpoolPorts{files_, raising, raising, status_, timer_});
  engine.SetStopFlag(&stop);
  EXPECT_TRUE(CycleEndsWell(engine));
  EXPECT_EQ(raising.Accepted(), (std::vector<std::string>{"one"}));
  EXPECT_EQ(files_.files.count("/in/2"), 1u);

  // Cut off after its bytes went: the printer may print them, so the next
  // start says so before it sends the file again whole.
  FakeStateStore store;
  store_ = &store;
  stop = 0;
  raising.failAt = "enddoc";
  SpoolEngine cut(settings_, jobs_, SpoolPorts{files_, raising, raising, status_, timer_, &store});
  cut.SetStopFlag(&stop);
  cut.RunSpoolCycle();
  EXPECT_EQ(status_.LinesWith("was cut off after 3 bytes"), 1u);
  EXPECT_NE(store.text.find("\ncut 3 "), std::string::npos) << store.text;
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"two"}));
  EXPECT_EQ(status_.LinesWith("was cut off when druvo last stopped, after 3 bytes"), 1u);
  EXPECT_EQ(store.text.find("\ncut "), std::string::npos);
}

TEST_F(SpoolCycleTest, DeleteAfterPrintedSendsNothingItCannotRememberAndNamesEachJobFirst) {
  FakeStateStore store;
  store_ = &store;
  settings_.deleteAfterPrinted = 1;
  spooler_.nextJobId = 1;
  files_.Add("/in/a", "a", 1);
  // A full or read-only state folder: the file waits, said once.
  store.saveFails = true;
  Engine().RunSpoolCycle();
  engine_->RunSpoolCycle();
  EXPECT_TRUE(spooler_.Accepted().empty());
  EXPECT_EQ(status_.LinesWith("cannot save the state file"), 1u);
  EXPECT_EQ(engine_->Report().headWhy,
            "the state file cannot be written; nothing is sent until it can");
  store.saveFails = false;
  engine_->RunSpoolCycle();
  ASSERT_EQ(spooler_.Accepted(), std::vector<std::string>{"a"});
  // The job carries the uuid that was saved before it was sent.
  const std::string uuid = engine_->State().inFlight.at("/in/a").uuid;
  EXPECT_EQ(uuid.rfind("urn:uuid:", 0), 0u);
  EXPECT_EQ(spooler_.jobStates[1].uuid, uuid);
  EXPECT_NE(store.text.find(uuid), std::string::npos);

  // Stopped while it was being sent, its job number not yet saved: the
  // job made before the stop is found by its uuid and not sent again; with
  // no such job, the file is sent once more after the restart.
  const std::string half = "druvo-state 3\ninflight 0 0 0 0 1 1 0 0 0 0 " + uuid + " RACUN /in/a\n";
  store.text = half;
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(engine_->State().inFlight.at("/in/a").jobId, 1);
  spooler_.jobStates.clear();
  store.text = half;
  Engine().RunSpoolCycle();
  EXPECT_EQ(spooler_.Accepted(), (std::vector<std::string>{"a", "a"}));
}

}  // namespace
}  // namespace druvo
