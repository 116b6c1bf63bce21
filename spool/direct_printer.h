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
// open and the receipts are pipelined; the engine learns which came out
// through JobStates, as it does from a print server. Automatic status back
// (or, where the printer has none, status polling) tells paper out, a cover
// open or an error: every receipt not confirmed by then did not come out
// whole and is sent again.
#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "spool/escpos.h"
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
  // A confirmation may take this long on top of the printing itself, at
  // kSlowestBytesPerSecond at worst.
  int confirmTimeoutMs = 10000;
  int pollStatusMs = 500;  // status polling, where automatic status is missing
  // After a stop request, a job under way may finish within this; after it,
  // the connection is reset so the printer gets no more of it.
  int stopGraceMs = 2000;
  const volatile std::sig_atomic_t* stopFlag = nullptr;
  // One-time remarks for the log (a printer that does not answer queries).
  std::function<void(const std::string&)> note;
  // The printer took bytes: told however long one call waits (a watchdog).
  std::function<void()> progress;
  // Milliseconds of a steady clock; the tests give their own.
  std::function<long long()> clock;
};

class DirectPrinter : public Spooler {
 public:
  static constexpr long long kSlowestBytesPerSecond = 4000;

  DirectPrinter(PrinterAddress address, std::unique_ptr<PrinterLink> link, DirectOptions options);
  ~DirectPrinter() override;
  DirectPrinter(const DirectPrinter&) = delete;
  DirectPrinter& operator=(const DirectPrinter&) = delete;

  // Connects (or opens the device) and, when asked, checks the status. With
  // confirmation the link stays open from one job to the next.
  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char*, const char*) override { return OpResult::Ok(); }
  OpResult Write(const void* data, std::size_t size) override;
  // Waits, bounded, until the printer has every byte; with confirmation,
  // asks for the receipt's confirmation and returns at once.
  OpResult EndDocument() override;
  // Resets a connection rather than closing it: bytes still queued must not
  // reach the printer after the file was kept to be sent again whole.
  void AbortDocument() override;
  void CloseQueue() override;
  int LastJobId() const override { return lastJob_; }
  // With confirmation: the next receipt's process ID, as its job number, so
  // that it is remembered before a byte of it is sent.
  int NameNextJob(const std::string& uuid) override;
  // With confirmation: Completed once the printer confirmed the receipt or
  // one after it, Aborted (with why) when it cannot have come out whole.
  OpResult JobStates(const char* queue, const std::vector<int>& ids,
                     std::map<int, JobStatus>* states) override;
  long long ServerInstance() override { return instance_; }
  // What the printer's status says holds it, as last heard.
  std::string QueueProblem(const char* queue) override;

  int WaitFd() const override { return pending_.empty() && adopted_.empty() ? -1 : link_->Fd(); }

  bool Confirming() const { return confirm_ && !confirmUnsupported_; }

 private:
  struct Pending {
    int job = 0;
    std::string id;
    std::uint64_t bytes = 0;
  };
  enum class Wait { Ready, TimedOut, Stopped, Failed };
  long long NowMs() const;
  // Until the line has room for more, or the printer took nothing for the
  // stall time.
  Wait WaitForRoom();
  void Progressed() const {
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
  bool Stopping();
  OpResult Connect();
  OpResult CheckStatus();
  // Sends DLE EOT (kStatusQuery[query]); false when the link did not take it.
  bool Ask(int query, std::string* error);
  // Waits, bounded, for the answer to DLE EOT n; false when none came.
  bool AwaitAnswer(int n, std::size_t skippedBefore, bool* stopped);
  // True when the printer is well again after a status that held it.
  bool RefreshStatus();
  // Reads and parses what the printer sent; false when the link is gone.
  bool ReadReplies();
  void OnReply(const EscPosReply& reply);
  void Confirmed(const std::string& id);
  // The next process ID's number, none an adopted job has.
  unsigned long NextId();
  // Jobs asked about that this run never sent: an earlier run's, known by
  // their IDs.
  void Adopt(const std::vector<int>& ids);
  // Connects if need be, asks a process ID of its own, reads the answers.
  void SettleAdopted();
  // Every receipt not yet confirmed did not come out whole.
  void AbortPending(const std::string& why);
  void CheckConfirmationTime();
  OpResult DrainAndClose();
  OpResult Unconfirmed(int boundMs);
  void Drop(bool reset);

  PrinterAddress address_;
  std::unique_ptr<PrinterLink> link_;
  DirectOptions options_;
  bool confirm_;
  long long instance_;
  long long stopSeenMs_ = -1;
  bool noStatusNoted_ = false;
  bool keepsOpenNoted_ = false;
  int unconfirmedInRow_ = 0;
  std::uint64_t jobBytes_ = 0;
  int lastJob_ = 0;
  unsigned long nextId_;
  long long reserved_ = -1;  // the process ID named for the next receipt

  // Replies and confirmation.
  EscPosReader reader_;
  std::deque<int> asked_;                 // DLE EOT n sent, answers to come
  std::map<int, unsigned char> answers_;  // by n
  bool autoStatus_ = false;               // the printer sends automatic status
  std::string problem_;                   // what the last status said holds the printer
  std::string jobSpoiled_;                // what went wrong during the job being sent
  std::deque<Pending> pending_;
  std::deque<Pending> adopted_;  // an earlier run's, unconfirmed
  std::string probe_;            // our ID sent to settle them
  long long lastConnectMs_ = -1;
  std::map<int, JobStatus> done_;
  bool confirmedAny_ = false;
  bool confirmUnsupported_ = false;
  long long progressMs_ = 0;  // the last confirmation, or the head's start
  long long lastPollMs_ = 0;
};

}  // namespace druvo
