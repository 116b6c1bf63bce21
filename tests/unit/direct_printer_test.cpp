#include "spool/direct_printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "spool/escpos.h"

namespace druvo {
namespace {

// A printer at the other end of a link, driven by the test. Waits pass on
// the test's clock, so every bound is reached at once.
struct FakeLinkState {
  long long now = 1000;
  bool open = false;
  bool peerClosed = false;
  std::string asb = std::string("\x10\x00\x00\x00", 4);  // how it stands; empty: no GS a
  bool closesAfterJob = false;                           // closes its side once ours is shut down
  long long closesAt = -1;                               // ...but only then (printing till then)
  bool shutdown = false;
  long long unacknowledged = 0;  // -1: the system cannot tell (Windows)
  std::string sent;
  std::string inbox;  // what the printer says next
  int opens = 0;
  bool reset = false;
  // The ID asked right after a connect is answered at once (when set),
  // after what the printer kept for the next connection.
  bool answersIds = true;
  std::string kept;
  std::vector<std::string> probes;
};

class FakeLink : public PrinterLink {
 public:
  explicit FakeLink(FakeLinkState& s) : s_(s) {}
  OpResult Open(int, const std::function<bool()>&) override {
    s_.open = true;
    s_.peerClosed = false;
    s_.shutdown = false;
    ++s_.opens;
    s_.inbox += s_.kept;
    s_.kept.clear();
    probed_ = false;
    return OpResult::Ok();
  }
  bool IsOpen() const override { return s_.open; }
  bool IsSocket() const override { return true; }
  long long Send(const void* data, std::size_t size, std::string*) override {
    const std::string bytes(static_cast<const char*>(data), size);
    s_.sent += bytes;
    if (bytes == std::string("\x1D\x61\x0E", 3)) s_.inbox += s_.asb;
    for (std::size_t at = 0;
         !probed_ && at + 11 <= bytes.size() && bytes.compare(at, 3, "\x1D\x28\x48") == 0;
         at += 11) {
      s_.probes.push_back(bytes.substr(at + 7, 4));
      if (s_.answersIds) s_.inbox += std::string("\x37\x22", 2) + bytes.substr(at + 7, 4) + '\0';
    }
    if (bytes.compare(0, 3, "\x1D\x28\x48") == 0) probed_ = true;
    return static_cast<long long>(size);
  }
  long long Receive(void* data, std::size_t size, std::string*) override {
    if (s_.inbox.empty()) return Closed() ? kClosed : 0;
    const std::size_t n = std::min(size, s_.inbox.size());
    s_.inbox.copy(static_cast<char*>(data), n);
    s_.inbox.erase(0, n);
    return static_cast<long long>(n);
  }
  int Wait(bool writing, int ms) override {
    if (writing || !s_.inbox.empty() || Closed()) return 1;
    s_.now += ms;
    return 0;
  }
  long long Unacknowledged() override { return s_.unacknowledged; }
  void ShutdownSending() override { s_.shutdown = true; }
  void Reset() override {
    s_.reset = true;
    s_.open = false;
  }
  void Close() override { s_.open = false; }
  std::string Name() const override { return "printer:9100"; }

 private:
  bool Closed() const {
    return s_.peerClosed ||
           (s_.shutdown && s_.closesAfterJob && (s_.closesAt < 0 || s_.now >= s_.closesAt));
  }
  FakeLinkState& s_;
  bool probed_ = false;
};

class DirectPrinterTest : public ::testing::Test {
 protected:
  DirectPrinter& Printer(bool confirm, bool keepsLineOpen = false) {
    PrinterAddress address;
    address.kind = PrinterAddress::Kind::Socket;
    address.confirm = confirm;
    address.keepsLineOpen = keepsLineOpen;
    DirectOptions options;
    options.clock = [this] { return link_.now; };
    options.stopFlag = &stop_;
    options.note = [this](const std::string& line) { notes_.push_back(line); };
    printer_ = std::make_unique<DirectPrinter>(address, std::make_unique<FakeLink>(link_), options);
    return *printer_;
  }
  // One receipt, whole; returns its job number (0: none).
  int Print(const std::string& text) {
    printer_->NameNextJob("");  // as the engine does: the job is named before it is sent
    EXPECT_TRUE(printer_->OpenQueue("p")) << text;
    EXPECT_TRUE(printer_->Write(text.data(), text.size())) << text;
    const OpResult ended = printer_->EndDocument();
    printer_->CloseQueue();
    return ended ? printer_->LastJobId() : -1;
  }
  // The receipts' process IDs sent so far, in order (not those asked at a
  // connect).
  std::vector<std::string> RequestedIds() const {
    std::vector<std::string> ids;
    const std::string head("\x1D\x28\x48\x06\x00\x30\x30", 7);
    for (std::size_t at = link_.sent.find(head); at != std::string::npos;
         at = link_.sent.find(head, at + 1)) {
      const std::string id = link_.sent.substr(at + head.size(), 4);
      if (std::find(link_.probes.begin(), link_.probes.end(), id) == link_.probes.end())
        ids.push_back(id);
    }
    return ids;
  }
  static std::string IdAnswer(const std::string& id) {
    return std::string("\x37\x22", 2) + id + std::string(1, '\0');
  }
  std::map<int, JobStatus> States(const std::vector<int>& ids) {
    std::map<int, JobStatus> states;
    EXPECT_TRUE(printer_->JobStates("p", ids, &states));
    return states;
  }

  FakeLinkState link_;
  volatile std::sig_atomic_t stop_ = 0;
  std::vector<std::string> notes_;
  std::unique_ptr<DirectPrinter> printer_;
};

TEST(EscPosReader, TellsRepliesApartByTheirFixedBitsAcrossReads) {
  EscPosReader reader;
  std::vector<EscPosReply> found;
  const auto keep = [&](const EscPosReply& r) { found.push_back(r); };
  // Noise, a status byte, an automatic status, a process ID split over two
  // reads, a broken ID (a byte out of range) and a status after it.
  const std::string one = std::string(
      "OK\r\n\x12\x10\x00\x0C\x00\x37\x22"
      "Ab",
      13);
  const std::string two = std::string("c9\x00\x37\x22\x01\x16", 7);
  reader.Feed(reinterpret_cast<const unsigned char*>(one.data()), one.size(), keep);
  reader.Feed(reinterpret_cast<const unsigned char*>(two.data()), two.size(), keep);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].kind, EscPosReply::Kind::Status);
  EXPECT_EQ(found[1].kind, EscPosReply::Kind::AutoStatus);
  EXPECT_EQ(escpos::AutoStatusProblem(found[1].bytes), "paper out");
  EXPECT_EQ(found[2].kind, EscPosReply::Kind::ProcessId);
  EXPECT_EQ(found[2].id, "Abc9");
  EXPECT_EQ(found[3].kind, EscPosReply::Kind::Status);
  EXPECT_EQ(found[3].bytes[0], 0x16);
  EXPECT_GE(reader.Skipped(), 4u);  // "OK\r\n" and the broken ID's bytes
}

TEST_F(DirectPrinterTest, PipelinedReceiptsAreConfirmedByTheirOwnIdOrALaterOne) {
  Printer(true);
  const int a = Print("first\n");
  const int b = Print("second\n");
  const int c = Print("third\n");
  EXPECT_EQ(link_.opens, 1);  // one connection for all: nothing waits for a confirmation
  const std::vector<std::string> ids = RequestedIds();
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[1], ids[2]);
  EXPECT_EQ(States({a, b, c})[a].state, JobState::Pending);
  // The printer could not answer the first two: the third confirms them all.
  link_.inbox = IdAnswer(ids[2]);
  const auto states = States({a, b, c});
  for (int job : {a, b, c}) EXPECT_EQ(states.at(job).state, JobState::Completed) << job;
}

TEST_F(DirectPrinterTest, AStopIsAPauseAndALaterAnswerCoversAnEarlierReceiptOnlyWithoutAStop) {
  Printer(true);
  const std::string paperOut("\x10\x00\x0C\x00", 4), ok("\x10\x00\x00\x00", 4);
  const int a = Print("first\n");
  const int b = Print("second\n");
  const int c = Print("third\n");
  const std::vector<std::string> ids = RequestedIds();
  // Paper out while a is printed: nothing is given up, nothing new is sent,
  // and the line stays open for the answers after the new roll.
  link_.inbox = paperOut;
  EXPECT_EQ(States({a, b, c})[a].state, JobState::Pending);
  EXPECT_FALSE(printer_->OpenQueue("p"));
  link_.now += 600000;
  EXPECT_EQ(States({a, b, c})[a].state, JobState::Pending);
  // Back: a answers itself; c answers, b did not: the printer cleared what
  // it held, so b is sent again, and so is c, begun before the stop (its
  // start may be gone).
  link_.inbox = ok + IdAnswer(ids[0]) + IdAnswer(ids[2]);
  const auto states = States({a, b, c});
  EXPECT_EQ(states.at(a).state, JobState::Completed);
  EXPECT_NE(states.at(a).why.find("printed on after the printer stopped (paper out)"),
            std::string::npos);
  EXPECT_EQ(states.at(b).state, JobState::Aborted);
  EXPECT_EQ(states.at(c).state, JobState::Aborted);
  EXPECT_EQ(link_.opens, 1);
  // No more than the printer's buffer waits unconfirmed: the next receipt
  // is asked to wait, not failed.
  const std::string big(5000, 'x');
  const int d = Print(big);
  const OpResult later = printer_->OpenQueue("p");
  EXPECT_TRUE(!later && later.later) << later.error;
  link_.inbox = IdAnswer(RequestedIds().back());
  EXPECT_EQ(States({d})[d].state, JobState::Completed);
  EXPECT_TRUE(printer_->OpenQueue("p"));
}

TEST_F(DirectPrinterTest, WhatALostConnectionCarriedIsSettledOnTheNextOne) {
  Printer(true);
  const int a = Print("first\n");
  const int b = Print("second\n");
  std::vector<std::string> ids = RequestedIds();
  // The network fails; the printer prints on and keeps the latest answer
  // for the next connection: both came out, neither is sent again.
  link_.peerClosed = true;
  EXPECT_EQ(States({a, b})[a].state, JobState::Pending);
  link_.kept = IdAnswer(ids[1]);
  link_.now += 2000;
  auto states = States({a, b});
  EXPECT_EQ(states.at(a).state, JobState::Completed);
  EXPECT_EQ(states.at(b).state, JobState::Completed);
  // Power lost: nothing kept, the new ID answered at once: sent again.
  const int c = Print("third\n");
  link_.peerClosed = true;
  States({c});
  link_.now += 2000;
  states = States({c});
  EXPECT_EQ(states.at(c).state, JobState::Aborted);
  EXPECT_NE(states.at(c).why.find("lost with its power"), std::string::npos);
  // No answer and no word for long: connected again to ask, never sent
  // again on a timer alone.
  const int d = Print("fourth\n");
  link_.answersIds = false;
  link_.now += 60000;
  EXPECT_EQ(States({d})[d].state, JobState::Pending);
  link_.now += 2000;
  EXPECT_EQ(States({d})[d].state, JobState::Pending);
  EXPECT_GE(link_.opens, 4);
}

TEST_F(DirectPrinterTest, AKeptAnswerStandsOnlyForReceiptsOfItsOwnConnection) {
  Printer(true);
  const int a = Print("first\n");
  link_.peerClosed = true;
  EXPECT_EQ(States({a})[a].state, JobState::Pending);
  // A new connection whose probe the printer cannot answer yet (it still
  // prints), and a receipt on it; that connection is lost too.
  link_.answersIds = false;
  link_.now += 2000;
  EXPECT_EQ(States({a})[a].state, JobState::Pending);
  const int b = Print("second\n");
  const std::string bId = RequestedIds().back();
  link_.peerClosed = true;
  EXPECT_EQ(States({a, b})[a].state, JobState::Pending);
  // The printer kept b's answer. a went on another connection: the printer
  // may have lost it before b came (power, a clear) with nobody to hear.
  // Only the probe answered after it settles a.
  link_.kept = IdAnswer(bId);
  link_.answersIds = true;
  link_.now += 2000;
  const auto states = States({a, b});
  EXPECT_EQ(states.at(b).state, JobState::Completed);
  EXPECT_EQ(states.at(a).state, JobState::Aborted);
}

TEST_F(DirectPrinterTest, APrinterThatAnswersNoIdIsToldAtItsFirstConnection) {
  link_.answersIds = false;
  link_.closesAfterJob = true;
  Printer(true);
  EXPECT_EQ(Print("first\n"), 0);  // no job to follow: done once taken and closed
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("does not answer the process ID request"), std::string::npos);
  EXPECT_EQ(Print("second\n"), 0);
  EXPECT_EQ(notes_.size(), 1u);
  // Connected at the start, before the engine told of earlier jobs (the
  // printer might still print them): asked again before the first receipt.
  notes_.clear();
  Printer(true);
  EXPECT_TRUE(printer_->OpenQueue("p"));
  printer_->CloseQueue();
  EXPECT_TRUE(notes_.empty());
  EXPECT_EQ(Print("third\n"), 0);
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("does not answer the process ID request"), std::string::npos);
}

TEST_F(DirectPrinterTest, APrinterStoppedAtItsFirstConnectionIsNotTakenForOneWithoutIds) {
  // Cover open: it prints nothing, so it answers no ID yet. Taken for a
  // printer without IDs, its receipts would be deleted once taken.
  link_.answersIds = false;
  link_.asb = std::string("\x38\x00\x00\x00", 4);
  Printer(true);
  const OpResult opened = printer_->OpenQueue("p");
  EXPECT_FALSE(opened);
  EXPECT_NE(opened.error.find("cover open"), std::string::npos) << opened.error;
  EXPECT_TRUE(notes_.empty());
  EXPECT_TRUE(printer_->Confirming());
}

TEST_F(DirectPrinterTest, WithoutAcknowledgementsOnlyThePrintersCloseConfirmsTheJob) {
  link_.unacknowledged = -1;  // Windows
  Printer(false);
  link_.closesAfterJob = true;  // as raw port printers do
  EXPECT_EQ(Print("a\n"), 0);
  // Switched off or out of paper: no close, however often it is tried.
  link_.closesAfterJob = false;
  EXPECT_EQ(Print("b\n"), -1);
  EXPECT_EQ(Print("b\n"), -1);
  EXPECT_TRUE(notes_.empty());
  // A printer said to keep its line open is taken at its bytes.
  Printer(false, true);
  EXPECT_EQ(Print("c\n"), 0);
}

TEST_F(DirectPrinterTest, AStopLetsTheJobThePrinterIsTakingFinishAndCutsOffOneItIsNot) {
  // Quit while the printer prints what it holds and closes 6 s later: the
  // job ends with the close, never cut off (its start would come out twice).
  link_.unacknowledged = -1;  // Windows: only the close tells
  link_.closesAfterJob = true;
  Printer(false);
  stop_ = 1;
  link_.closesAt = link_.now + 6000;
  EXPECT_EQ(Print("a\n"), 0);
  EXPECT_FALSE(link_.reset);
  // Bounded: one that does not close within 10 s of the stop is cut off.
  Printer(false);
  link_.closesAt = link_.now + 60000;
  const long long from = link_.now;
  EXPECT_EQ(Print("b\n"), -1);
  EXPECT_LE(link_.now - from, 10200);
  // A printer that takes nothing more is cut off after the grace time.
  link_ = FakeLinkState{};
  link_.unacknowledged = 100;
  Printer(false);
  EXPECT_EQ(Print("c\n"), -1);
  EXPECT_LE(link_.now - 1000, 2200);
}

}  // namespace
}  // namespace druvo
