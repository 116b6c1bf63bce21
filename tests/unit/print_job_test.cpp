#include "spool/print_job.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace druvo {
namespace {

using testing::FakeFileSystem;
using testing::FakeSpooler;

class PrintJobTest : public ::testing::Test {
 protected:
  JobResult Print(std::string path = "/in/a.prn") {
    return PrintFileRaw(path.data(), "RACUN", files_, spooler_, buffers_);
  }
  FakeFileSystem files_;
  FakeSpooler spooler_;
  PrintBuffers buffers_;
};

TEST_F(PrintJobTest, SendsOneRawDocumentWithLfLineEnds) {
  files_.Add("/in/a.prn", "A\r\nB\r\n", 1);
  JobResult r = Print();
  EXPECT_EQ(r.outcome, JobOutcome::Printed);
  EXPECT_EQ(r.bytesSent, 4u);
  ASSERT_EQ(spooler_.documents.size(), 1u);
  EXPECT_EQ(spooler_.documents[0].printer, "RACUN");
  EXPECT_EQ(spooler_.documents[0].name, "Printing Document");
  EXPECT_EQ(spooler_.documents[0].dataType, "RAW");
  EXPECT_EQ(spooler_.documents[0].bytes, "A\nB\n");
  EXPECT_EQ(spooler_.calls,
            (std::vector<std::string>{"open", "startdoc", "write", "enddoc", "close"}));
}

TEST_F(PrintJobTest, WritesInLargeChunksNotPerLine) {
  files_.readChunk = PrintBuffers::kChunk;
  std::string content;
  for (int i = 0; i < 100; ++i) content += std::string(600, 'x') + "\r\n";
  files_.Add("/in/a.prn", content, 1);
  JobResult r = Print();
  ASSERT_EQ(r.outcome, JobOutcome::Printed);
  EXPECT_EQ(spooler_.documents[0].writes, 1);
  EXPECT_EQ(spooler_.documents[0].bytes.size(), 100u * 601u);
}

TEST_F(PrintJobTest, EscPosBytesAndNulPairsArriveUnchanged) {
  const std::string data("\x1B@\x1D\x76\x30\x00\x00\x00\x10\x00\xFF\x00\x00\x01\n", 15);
  files_.Add("/in/a.prn", data + "\x1A" + "tail", 1);
  ASSERT_EQ(Print().outcome, JobOutcome::Printed);
  EXPECT_EQ(spooler_.documents[0].bytes, data);
}

TEST_F(PrintJobTest, EmptyFileGivesAnEmptyAcceptedDocument) {
  files_.Add("/in/a.prn", "", 1);
  EXPECT_EQ(Print().outcome, JobOutcome::Printed);
  ASSERT_EQ(spooler_.documents.size(), 1u);
  EXPECT_TRUE(spooler_.documents[0].ended);
  EXPECT_EQ(spooler_.documents[0].writes, 0);
}

TEST_F(PrintJobTest, FilesThatCannotBeOpenedSendNothing) {
  EXPECT_EQ(Print("/in/missing").outcome, JobOutcome::Gone);
  files_.Add("/in/busy", "x", 1);
  files_.files["/in/busy"].openAs = OpenOutcome::NotReady;
  EXPECT_EQ(Print("/in/busy").outcome, JobOutcome::NotReady);
  files_.Add("/in/locked", "x", 1);
  files_.files["/in/locked"].openAs = OpenOutcome::Failed;
  JobResult r = Print("/in/locked");
  EXPECT_EQ(r.outcome, JobOutcome::Failed);
  EXPECT_EQ(r.error, "access denied");
  EXPECT_EQ(Print("   ").outcome, JobOutcome::Gone);
  EXPECT_TRUE(spooler_.calls.empty());
}

// Every spooler step that fails leaves no accepted document behind and
// always closes the queue.
TEST_F(PrintJobTest, FailureAtEachStepWithdrawsTheDocumentAndClosesThePrinter) {
  struct Case {
    const char* step;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"open", {"open"}},
      {"startdoc", {"open", "startdoc", "close"}},
      {"write", {"open", "startdoc", "write", "abort", "close"}},
      {"enddoc", {"open", "startdoc", "write", "enddoc", "abort", "close"}},
  };
  for (const Case& c : cases) {
    FakeSpooler spooler;
    spooler.failAt = c.step;
    files_.Add("/in/a.prn", "data", 1);
    std::string path = "/in/a.prn";
    JobResult r = PrintFileRaw(path.data(), "RACUN", files_, spooler, buffers_);
    EXPECT_EQ(r.outcome,
              std::string(c.step) == "open" ? JobOutcome::PrinterUnavailable : JobOutcome::Failed)
        << c.step;
    EXPECT_FALSE(r.error.empty()) << c.step;
    EXPECT_EQ(spooler.calls, c.calls) << c.step;
    EXPECT_TRUE(spooler.Accepted().empty()) << c.step;
  }
}

TEST_F(PrintJobTest, ACtrlZThatCutsOffMoreThanLineEndsIsReported) {
  files_.readChunk = 5;  // the Ctrl-Z and what follows it in other reads
  files_.Add("/in/dos.prn", "AB\r\n\x1A\r\n\x1A", 1);
  files_.Add("/in/qr.prn", std::string("QR\x1D(k\x1A\x00\x31\x50\x30", 11) + "data", 2);
  JobResult dos = Print("/in/dos.prn");
  EXPECT_EQ(dos.fileBytes, 0u);
  JobResult qr = Print("/in/qr.prn");
  EXPECT_EQ(qr.bytesSent, 5u);
  EXPECT_EQ(qr.ctrlZAt, 5u);
  EXPECT_EQ(qr.fileBytes, 15u);
  // Byte for byte, both pass whole, CR LF and Ctrl-Z alike, and nothing is cut.
  for (const char* path : {"/in/dos.prn", "/in/qr.prn"}) {
    FakeSpooler spooler;
    std::string p = path;
    const JobResult r = PrintFileRaw(p.data(), "RACUN", files_, spooler, buffers_, true);
    EXPECT_EQ(r.fileBytes, 0u) << path;
    ASSERT_EQ(spooler.Accepted().size(), 1u) << path;
    EXPECT_EQ(spooler.Accepted()[0], files_.files[path].content) << path;
  }
}

TEST_F(PrintJobTest, WriteOrReadFailingHalfWayFailsTheJob) {
  files_.readChunk = 10;
  files_.Add("/in/a.prn", std::string(100, 'z'), 1);
  spooler_.writeFailsAfter = 30;
  JobResult r = Print();
  EXPECT_EQ(r.outcome, JobOutcome::Failed);
  EXPECT_EQ(r.bytesSent, 30u);
  EXPECT_TRUE(spooler_.documents[0].aborted);

  FakeSpooler spooler;
  files_.files["/in/a.prn"].readFailsAfter = 20;
  std::string path = "/in/a.prn";
  r = PrintFileRaw(path.data(), "RACUN", files_, spooler, buffers_);
  EXPECT_EQ(r.outcome, JobOutcome::Failed);
  EXPECT_EQ(r.error, "read error");
  EXPECT_TRUE(spooler.documents[0].aborted);

  // A writer's byte-range lock is "not ready", never a failure (with TRUE a
  // failure would delete the receipt unprinted).
  FakeSpooler locked;
  files_.files["/in/a.prn"].lockedOnRead = true;
  r = PrintFileRaw(path.data(), "RACUN", files_, locked, buffers_);
  EXPECT_EQ(r.outcome, JobOutcome::NotReady);
  EXPECT_TRUE(locked.Accepted().empty());
}

}  // namespace
}  // namespace druvo
