// What a confirming ESC/POS printer's answers prove. Each receipt goes with
// a process ID request (GS ( H) of its own, answered once everything before
// it is printed; probes (IDs of our own, with nothing of ours after them)
// tell when all the printer held is printed. This is the bookkeeping alone:
// the direct printer tells it what was sent, heard and lost on the line,
// and asks it which receipts are settled. No I/O, no clock of its own.
//
// The rules: a receipt's own answer confirms it; a later answer stands for
// an earlier receipt only where both went on one connection with no stop
// between (a printer's piled-up answers may shrink to the latest); a probe
// answered settles what did not answer before it as lost (with the power,
// or cleared). Across a stop a printer that clears its buffer answers only
// what came after, so a receipt begun before the stop may have lost its
// start.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "spool/ports.h"

namespace druvo {

class EscPosConfirmations {
 public:
  enum class Ids { Unknown, Yes, No };  // whether the printer answers process IDs

  // IDs begin at firstId (each run somewhere else, so that this run's are
  // not an earlier one's).
  explicit EscPosConfirmations(unsigned long firstId);

  // A new connection; what the last one asked is no longer awaited.
  void Connected();
  // The request bytes for a probe (two back to back with pair: a printer
  // whose answers fold answers only the second), sent at nowMs.
  std::string Probe(bool pair, long long nowMs);
  // The ID named for the next receipt, as its job number (kept until a
  // receipt is sent with it).
  int NameNext();
  // The ID text for the receipt about to be sent: the name given, or a new
  // one.
  std::string TakeName();
  // That receipt went out whole with its ID request; its job number.
  int Sent(std::uint64_t bytes, int stopsAtItsStart, long long nowMs);
  // A process ID answer.
  void Answered(const std::string& id, long long nowMs);
  // The printer's status: a stop begins (problem) or ends (empty).
  void StatusChanged(bool wasStopped, const std::string& problem, long long nowMs);
  // The line is lost: what it carried is settled on the next one.
  void Lost();
  // Jobs asked about that this run never sent: an earlier run's.
  void Adopt(const std::vector<int>& ids);
  // After a stop, between receipts: the last receipt begun before it, for
  // a probe to settle (0: no probe due). Probed tells it was sent.
  int ProbeAfterStopDue();
  void ProbedAfter(int job) { probeAfter_ = job; }
  // Not one ID answered this run, and the printer does not answer them:
  // this run's receipts it took count as taken, an earlier run's are left
  // unknown.
  void AnswersNoIds();

  // How long an answer may take for what waits now (0: nothing waits).
  // A printer that stops is waited for by the caller.
  long long AnswerBoundMs(int confirmTimeoutMs, int bufferBytes) const;
  long long WaitingSinceMs() const;
  long long PrintMs(std::uint64_t bytes) const;
  std::uint64_t PendingBytes() const;

  // What was settled since the last call.
  std::vector<int> TakeNews();
  // How a job was settled, if it was.
  bool Settled(int job, JobStatus* status) const;
  // The state of a job asked about, if known (settled, or waiting; without
  // confirmation, one that nothing can tell about any more).
  bool StateOf(int job, bool confirming, JobStatus* status) const;
  // Forgets what is settled and no longer asked about.
  void KeepOnly(const std::vector<int>& ids);

  Ids answersIds = Ids::Unknown;
  bool Probing() const { return !probe_.empty(); }
  long long ProbeMs() const { return probeMs_; }
  long long ProgressMs() const { return progressMs_; }
  bool NothingWaits() const { return pending_.empty() && adopted_.empty(); }
  bool NothingOfOurs() const { return pending_.empty(); }
  bool Holds() const { return !adopted_.empty(); }
  int Stops() const { return stops_; }
  bool autoStatus = false;  // the printer sends automatic status (a stop is heard at once)

 private:
  struct Pending {
    int job = 0;
    std::string id;
    std::uint64_t bytes = 0;
    int stops = -1;       // the printer's stops seen before it was begun; -1: an earlier run's
    std::string stopped;  // the stop it was being printed through, if any
    int connection = 0;   // this run's connection that carried it; 0: an earlier run's
  };
  unsigned long NextId(unsigned long* counter);
  void Settle(const Pending& p, JobState state, const std::string& why);
  bool SettleAdopted(const std::string& id);
  static bool OneAfterAnother(const Pending& a, const Pending& b);
  void ProbeAnswered();
  void SettleUpTo(std::size_t upTo, bool probe, long long nowMs);

  unsigned long nextId_;
  unsigned long nextProbe_;
  long long reserved_ = -1;    // the ID named for the next receipt
  unsigned long sending_ = 0;  // the one taken for the receipt being sent
  int connection_ = 0;         // connections made
  std::deque<Pending> pending_;
  std::deque<Pending> adopted_;  // an earlier connection's or run's, unconfirmed
  // Answers that matched nothing yet: they may be an earlier run's, read
  // before its jobs were adopted (the latest few).
  std::deque<std::string> stray_;
  std::string probe_;       // our ID asked at connect, to settle them
  std::string probeFirst_;  // one asked just before it: answered too, unless answers fold
  bool firstAnswered_ = false;
  bool folds_ = false;  // piled-up answers shrink to the latest
  long long probeMs_ = 0;
  int probeAfter_ = 0;  // the last receipt sent before the probe after a stop
  bool probeDue_ = false;
  int stops_ = 0;              // stops the printer reported (paper, cover, offline)
  bool clears_ = false;        // this printer was seen to clear its buffer at a stop
  double bytesPerSecond_ = 0;  // printing speed measured from answers; 0: not yet
  long long progressMs_ = 0;   // the last confirmation, the head's start, or a recovery
  std::map<int, JobStatus> done_;
  std::vector<int> news_;  // settled since TakeNews
};

}  // namespace druvo
