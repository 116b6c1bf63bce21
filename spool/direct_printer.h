// A printer reached without a spooler, over a PrinterLink: raw TCP (the way
// the CUPS socket backend does it) or, on POSIX, a device file. Every wait is
// bounded: the connect, each write (no progress for a while fails the job),
// and the wait for the printer to take the last byte. Only then is a job
// done.
//
// With confirmation (?confirm=escpos, or files deleted once printed), a job
// is done only when the printer says it came out: after a receipt's bytes
// goes an ESC/POS process ID request with an ID of its own, which the
// printer answers once everything before it is printed. The connection stays
// open and the receipts are pipelined, no more unconfirmed than the
// printer's buffer holds besides the one being sent; the engine learns which
// came out through JobStates, as it does from a print server.
//
// Receipt printers keep what they hold through a paper end, an open cover
// or FEED and print on once they are back, answering the IDs then: such a
// stop is a pause, and each receipt waits for its own answer. What a lost
// connection leaves is settled on the next one: the printer keeps the
// latest answer it could not send, and an ID asked at once is answered when
// all it still holds is printed; a receipt not answered by then was lost
// (with the printer's power, or cleared) and is sent again. What the
// answers prove is EscPosConfirmations' to say; this class drives the line.
#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "spool/escpos.h"
#include "spool/escpos_confirmations.h"
#include "spool/ports.h"
#include "spool/printer_address.h"
#include "spool/printer_link.h"

namespace druvo {

struct DirectOptions {
  int connectTimeoutMs = 5000;
  int stallTimeoutMs = 10000;  // no progress this long fails the job
  int drainTimeoutMs = 5000;   // for the printer to close after the last byte
  int quietMs = 300;           // ...or to stay silent this long
  int statusTimeoutMs = 1000;  // for each answer to a status query
  // A confirmation may take this long on top of the printing of what is
  // ahead of it, at the printer's measured speed (at first the slowest).
  int confirmTimeoutMs = 10000;
  // Unconfirmed bytes besides the receipt being sent: about what the
  // printer's buffer holds.
  int bufferBytes = 4096;
  int pollStatusMs = 500;  // status polling, where automatic status is missing
  // After a stop request, a job under way may finish within this; after it,
  // the connection is reset so the printer gets no more of it, unless the
  // printer is still taking the job: then it may finish within
  // finishAtStopMs. Cut off, the part the printer holds comes out, and the
  // whole file again at the next start.
  int stopGraceMs = 2000;
  int finishAtStopMs = 10000;
  const volatile std::sig_atomic_t* stopFlag = nullptr;
  // One-time remarks for the log (a printer that does not answer queries).
  std::function<void(const std::string&)> note;
  // The printer took bytes: told however long one call waits (a watchdog).
  std::function<void()> progress;
  // Milliseconds of a steady clock; the tests give their own.
  std::function<long long()> clock;
};

class DirectPrinter : public TrackingSpooler {
 public:
  // The slowest a printer takes bytes (for a close after the last one).
  static constexpr long long kSlowestBytesPerSecond = 4000;

  DirectPrinter(PrinterAddress address, std::unique_ptr<PrinterLink> link, DirectOptions options);
  ~DirectPrinter() override;
  DirectPrinter(const DirectPrinter&) = delete;
  DirectPrinter& operator=(const DirectPrinter&) = delete;

  // Connects (or opens the device) and, when asked, checks the status. With
  // confirmation the link stays open from one job to the next; while the
  // printer holds its buffer's worth unconfirmed, the next receipt is
  // asked to wait (Later).
  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char*, const char*) override { return OpResult::Ok(); }
  OpResult Write(const void* data, std::size_t size) override;
  // Waits, bounded, until the printer has every byte; with confirmation,
  // asks for the receipt's confirmation and returns at once.
  OpResult EndDocument() override;
  // Resets a connection rather than closing it: bytes still queued must not
  // reach the printer after the file was kept to be sent again whole. The
  // receipts sent before it are settled on the next connection.
  void AbortDocument() override;
  void CloseQueue() override;
  int LastJobId() const override { return lastJob_; }
  // With confirmation: the next receipt's process ID, as its job number, so
  // that it is remembered before a byte of it is sent.
  int NameNextJob(const std::string& uuid) override;
  // With confirmation: Completed once the printer confirmed the receipt (or
  // one after it, with no stop between), Aborted (with why) once it is known
  // that it did not come out whole.
  OpResult JobStates(const char* queue, const std::vector<int>& ids,
                     std::map<int, JobStatus>* states) override;
  // What the printer's status says holds it, as last heard.
  std::string QueueProblem(const char* queue) override;

  bool TakesMore() const override {
    return !Confirming() || book_.NothingOfOurs() ||
           book_.PendingBytes() < static_cast<std::uint64_t>(options_.bufferBytes);
  }
  int WaitFd() const override { return book_.NothingWaits() ? -1 : link_->Fd(); }

  bool Confirming() const { return confirm_ && book_.answersIds != EscPosConfirmations::Ids::No; }

 private:
  enum class Wait { Ready, TimedOut, Stopped, Failed };
  long long NowMs() const;
  // Until the line has room for more, or the printer took nothing for the
  // stall time.
  Wait WaitForRoom();
  void Progressed() const {
    takenMs_ = NowMs();
    if (options_.progress) options_.progress();
  }
  // "printer HOST:PORT" and what, as a failure or as a note for the log.
  OpResult Refused(const std::string& what) const {
    return OpResult::Fail("printer " + link_->Name() + what);
  }
  void Note(const std::string& what) const {
    if (options_.note) options_.note("printer " + link_->Name() + what);
  }
  Wait WaitFor(bool writing, int timeoutMs);
  // Every byte, bounded by the printer's progress.
  OpResult Send(const unsigned char* bytes, std::size_t size);
  bool Stopping();
  OpResult Connect();
  OpResult CheckStatus();
  // Concludes that the printer answers no process IDs, says so, and drops
  // the connection made for confirmations.
  void TakeAsWithoutIds();
  // Before a receipt, with nothing unconfirmed: waits, bounded, for the
  // probe's answer; true when none came and the printer was not stopped.
  bool AnswersNoIds();
  // Sends DLE EOT (kStatusQuery[query]); false when the link did not take it.
  bool Ask(int query, std::string* error);
  // Waits, bounded, for the answer to DLE EOT n; false when none came.
  bool AwaitAnswer(int n, std::size_t skippedBefore, bool* stopped);
  // True when the printer is well again after a status that held it.
  bool RefreshStatus();
  // Reads and parses what the printer sent; false when the link is gone.
  bool ReadReplies();
  void OnReply(const EscPosReply& reply);
  // Connects if need be, asks a process ID of its own, reads the answers.
  void SettleAdopted();
  bool SendProbe(bool pair = false);
  // After a stop: an ID of our own, answered once all the printer held is
  // printed; a receipt before it that did not answer by then was cleared.
  void AskAfterStop();
  // Waits, bounded, until done() or the printer says nothing more.
  void AwaitReplies(int timeoutMs, const std::function<bool()>& done);
  // Marks a stop, or the end of one.
  void StatusChanged(const std::string& problem);
  void CheckConfirmationTime();
  OpResult DrainAndClose();
  // The receipt's last bytes with its ID request (with confirmation).
  OpResult SendLast();
  void Drop(bool reset);

  PrinterAddress address_;
  std::unique_ptr<PrinterLink> link_;
  DirectOptions options_;
  bool confirm_;
  long long stopSeenMs_ = -1;
  bool noStatusNoted_ = false;
  std::uint64_t jobBytes_ = 0;
  static constexpr std::size_t kHeldBytes = 64;
  std::string held_;  // the receipt's last bytes, sent with its ID request
  int lastJob_ = 0;
  int silentProbes_ = 0;  // connections whose probe went unanswered, before any answer

  // Replies and confirmation.
  EscPosReader reader_;
  EscPosConfirmations book_;
  std::deque<int> asked_;                 // DLE EOT n sent, answers to come
  std::map<int, unsigned char> answers_;  // by n
  std::string problem_;                   // what the last status said holds the printer
  std::string jobSpoiled_;                // what went wrong during the job being sent
  long long lastConnectMs_ = -1;
  // Whether the engine has said which jobs an earlier run left (it has once
  // it asks after them, or names a job to send): until then a printer may
  // still be printing them, and an unanswered ID says nothing.
  bool earlierKnown_ = false;
  int jobStops_ = 0;               // stops when the receipt being sent was begun
  long long heardMs_ = 0;          // the last reply or byte taken
  mutable long long takenMs_ = 0;  // the printer's last progress
  bool underWay_ = false;          // a job's bytes are being sent
  bool closing_ = false;           // ...all of them: the printer's close is awaited
  long long lastPollMs_ = 0;
};

}  // namespace druvo
