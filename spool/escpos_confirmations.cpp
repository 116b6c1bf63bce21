#include "spool/escpos_confirmations.h"

#include <algorithm>

#include "spool/escpos.h"
#include "spool/fault_switch.h"

namespace druvo {

namespace {

// A receipt's job number is its process ID read as a number: a later run
// knows the ID of a job it finds in the state file.
constexpr unsigned long kIds = 81450625;  // 95^4: four bytes from 0x20 to 0x7E
// Where a new connection's receipts' IDs begin: this far past the last ID
// named. One connection's receipts are never as far apart (no more than
// the jobs in flight are unconfirmed), so an earlier run's receipts tell
// by their IDs alone which connection carried them.
constexpr unsigned long kConnectionGap = 1000;
// The slowest a printer prints (an impact printer), until measured.
constexpr double kSlowestPrintBytesPerSecond = 250;

std::string IdText(unsigned long n) {
  std::string id(4, ' ');
  for (char& c : id) {
    c = static_cast<char>(0x20 + n % 95);
    n /= 95;
  }
  return id;
}

}  // namespace

EscPosConfirmations::EscPosConfirmations(unsigned long firstId)
    : nextId_(firstId % kIds),
      // Our own probes count apart, far from the receipts.
      nextProbe_(nextId_ + kIds / 2) {}

void EscPosConfirmations::Connected() {
  nextId_ += kConnectionGap;
  ++connection_;
  probe_.clear();
}

std::string EscPosConfirmations::Probe(bool pair, long long nowMs) {
  probeFirst_ = pair ? IdText(NextId(&nextProbe_)) : std::string();
  probe_ = IdText(NextId(&nextProbe_));
  firstAnswered_ = false;
  probeMs_ = nowMs;
  return (pair ? escpos::ProcessIdRequest(probeFirst_) : std::string()) +
         escpos::ProcessIdRequest(probe_);
}

unsigned long EscPosConfirmations::NextId(unsigned long* counter) {
  for (;;) {
    const unsigned long n = (*counter)++ % kIds;
    const int job = static_cast<int>(n) + 1;
    if (std::none_of(adopted_.begin(), adopted_.end(),
                     [job](const Pending& p) { return p.job == job; }))
      return n;
  }
}

int EscPosConfirmations::NameNext() {
  // An ID goes to the printer only with a receipt's last bytes: one named
  // for an attempt that never got there is named again.
  if (reserved_ < 0) reserved_ = static_cast<long long>(NextId(&nextId_));
  return static_cast<int>(reserved_) + 1;
}

std::string EscPosConfirmations::TakeName() {
  // Taken whether or not the send succeeds: an ID request cut off may
  // still have reached the printer.
  sending_ = reserved_ >= 0 ? static_cast<unsigned long>(reserved_) : NextId(&nextId_);
  reserved_ = -1;
  return IdText(sending_);
}

int EscPosConfirmations::Sent(std::uint64_t bytes, int stopsAtItsStart, long long nowMs) {
  if (pending_.empty()) progressMs_ = nowMs;
  const int job = static_cast<int>(sending_) + 1;
  pending_.push_back(Pending{job, IdText(sending_), bytes, stopsAtItsStart, {}, connection_});
  if (FaultOn(Fault::ConfirmOnTaken)) {
    Settle(pending_.back(), JobState::Completed, {});
    pending_.pop_back();
  }
  return job;
}

void EscPosConfirmations::Settle(const Pending& p, JobState state, const std::string& why) {
  done_[p.job] = JobStatus{state, 0, why, {}};
  news_.push_back(p.job);
}

void EscPosConfirmations::Answered(const std::string& id, long long nowMs) {
  // Whatever the printer answered, it knows the request.
  answersIds = Ids::Yes;
  if (!FaultOn(Fault::IgnoreKeptAnswer) && SettleAdopted(id)) return;
  if (!probeFirst_.empty() && id == probeFirst_) {
    firstAnswered_ = true;
    return;
  }
  const bool probe = !probe_.empty() && id == probe_;
  if (probe) ProbeAnswered();
  std::size_t upTo = 0;
  while (upTo < pending_.size() &&
         (probe ? pending_[upTo].job != probeAfter_ : pending_[upTo].id != id))
    ++upTo;
  if (probe) probeAfter_ = 0;
  if (upTo == pending_.size()) {
    // A late answer to an attempt given up, or to a job of an earlier run
    // not adopted yet.
    if (!probe) stray_.push_back(id);
    if (stray_.size() > 8) stray_.pop_front();
    return;
  }
  SettleUpTo(upTo, probe, nowMs);
}

bool EscPosConfirmations::SettleAdopted(const std::string& id) {
  // What a lost connection (or an earlier run) left: its own answer, or the
  // one answer the printer kept while nobody was connected (the latest).
  // Those sent just before it came out before it, unless a stop came
  // between them. Just before: on the same connection; receipts of another
  // connection may have been cleared while nobody heard the printer.
  for (std::size_t k = 0; k < adopted_.size(); ++k) {
    if (adopted_[k].id != id) continue;
    // Begun before a stop this run saw: as on a live connection, it came
    // out unless the printer clears at a stop, and tells nothing of those
    // before it.
    if (adopted_[k].stops >= 0 && adopted_[k].stops != stops_ && !folds_) {
      Settle(adopted_[k], clears_ ? JobState::Aborted : JobState::Completed,
             clears_ ? "the printer cleared what it held when it stopped" : std::string());
      adopted_.erase(adopted_.begin() + static_cast<long>(k));
      return true;
    }
    std::size_t from = k;
    while (from > 0 && OneAfterAnother(adopted_[from - 1], adopted_[from])) --from;
    for (std::size_t i = from; i <= k; ++i) Settle(adopted_[i], JobState::Completed, {});
    // The rest are for the probe to settle.
    adopted_.erase(adopted_.begin() + static_cast<long>(from),
                   adopted_.begin() + static_cast<long>(k) + 1);
    return true;
  }
  return false;
}

bool EscPosConfirmations::OneAfterAnother(const Pending& a, const Pending& b) {
  if (a.stops != b.stops) return false;
  // This run's know their connection; an earlier run's, by their IDs (a
  // line the disk lost may leave a gap).
  if (a.connection != 0 || b.connection != 0) return a.connection == b.connection;
  const unsigned long apart =
      (static_cast<unsigned long>(b.job) + kIds - static_cast<unsigned long>(a.job)) % kIds;
  return apart > 0 && apart < kConnectionGap;
}

void EscPosConfirmations::ProbeAnswered() {
  if (!probeFirst_.empty()) {
    folds_ = !firstAnswered_;
    probeFirst_.clear();
  }
  // Everything the printer held before the probe is printed: what has not
  // answered by now is not there.
  probe_.clear();
  for (const Pending& p : adopted_) {
    Settle(p, JobState::Aborted,
           p.stops < 0 ? "the printer no longer had it after druvo restarted (lost with "
                         "its power, or cleared)"
                       : "the printer no longer had it after the connection was lost (lost "
                         "with its power, or cleared)");
  }
  adopted_.clear();
}

void EscPosConfirmations::SettleUpTo(std::size_t upTo, bool probe, long long nowMs) {
  // The printer answers an ID once everything before it is printed, and one
  // that could not answer earlier ones may send the latest alone. Across a
  // stop that is no proof: a printer that cleared its buffer when it
  // stopped answers only what came after, and a receipt begun before the
  // stop may then have lost its start.
  bool skipped = false;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i <= upTo; ++i) {
    const Pending p = pending_.front();
    pending_.pop_front();
    bytes += p.bytes;
    // A printer whose answers fold cannot answer each one: for it, a
    // receipt's answer missing after a stop is no sign of a clear.
    const bool acrossStop = p.stops != stops_ && !folds_;
    if (i == upTo && !probe && !(acrossStop && (skipped || clears_))) {
      Settle(p, JobState::Completed,
             p.stopped.empty() ? std::string()
                               : "printed on after the printer stopped (" + p.stopped + ")");
    } else if ((i < upTo || probe) && !acrossStop && autoStatus) {
      Settle(p, JobState::Completed, {});
    } else {
      skipped = true;
      if (acrossStop) clears_ = true;
      Settle(p, JobState::Aborted,
             acrossStop ? "the printer cleared what it held when it stopped"
                        : "the printer answered a later receipt but not this one");
    }
  }
  // The printing speed, from receipts printed without a stop.
  if (!skipped && (pending_.empty() || pending_.front().stops == stops_)) {
    const long long took = nowMs - progressMs_;
    if (took > 50 && bytes > 0) {
      const double speed = static_cast<double>(bytes) * 1000.0 / static_cast<double>(took);
      bytesPerSecond_ = bytesPerSecond_ <= 0 ? speed : 0.7 * bytesPerSecond_ + 0.3 * speed;
    }
  }
  progressMs_ = nowMs;
}

void EscPosConfirmations::StatusChanged(bool wasStopped, const std::string& problem,
                                        long long nowMs) {
  if (!problem.empty() && !wasStopped) {
    // A stop: the printer keeps what it holds and prints on once it is
    // back. The receipt at the head was being printed through it.
    ++stops_;
    if (!pending_.empty() && pending_.front().stopped.empty()) pending_.front().stopped = problem;
  } else if (problem.empty() && wasStopped) {
    progressMs_ = nowMs;  // the answers' time counts anew from here
    probeDue_ = !pending_.empty();
  }
}

void EscPosConfirmations::Lost() {
  for (Pending& p : pending_) adopted_.push_back(p);
  pending_.clear();
  probe_.clear();
  probeAfter_ = 0;
}

void EscPosConfirmations::Adopt(const std::vector<int>& ids) {
  std::deque<Pending> earlier;
  for (const int id : ids) {
    const auto same = [id](const Pending& p) { return p.job == id; };
    if (id <= 0 || static_cast<unsigned long>(id) > kIds || done_.count(id) != 0 ||
        std::any_of(pending_.begin(), pending_.end(), same) ||
        std::any_of(adopted_.begin(), adopted_.end(), same))
      continue;
    earlier.push_back(Pending{id, IdText(static_cast<unsigned long>(id) - 1), 0, -1, {}, 0});
  }
  if (earlier.empty()) return;
  // An earlier run sent them in this order, before anything this run sent.
  std::sort(earlier.begin(), earlier.end(),
            [](const Pending& a, const Pending& b) { return a.job < b.job; });
  adopted_.insert(adopted_.begin(), earlier.begin(), earlier.end());
  std::deque<std::string> heard;
  heard.swap(stray_);
  for (const std::string& id : heard) SettleAdopted(id);
}

int EscPosConfirmations::ProbeAfterStopDue() {
  if (!probeDue_) return 0;
  probeDue_ = false;
  if (!probe_.empty()) return 0;
  // Only for receipts begun before the stop.
  int last = 0;
  for (const Pending& p : pending_)
    if (p.stops != stops_) last = p.job;
  return last;
}

void EscPosConfirmations::AnswersNoIds() {
  answersIds = Ids::No;
  probe_.clear();
  for (const Pending& p : adopted_)
    if (p.connection != 0)
      Settle(p, JobState::Completed, "taken by a printer that answers no process IDs");
  adopted_.clear();
}

std::uint64_t EscPosConfirmations::PendingBytes() const {
  std::uint64_t bytes = 0;
  for (const Pending& p : pending_) bytes += p.bytes;
  return bytes;
}

long long EscPosConfirmations::PrintMs(std::uint64_t bytes) const {
  // Half the measured speed: a receipt with graphics prints slower than text.
  const double speed = bytesPerSecond_ > 0 ? bytesPerSecond_ / 2 : kSlowestPrintBytesPerSecond;
  return static_cast<long long>(static_cast<double>(bytes) * 1000.0 / speed);
}

long long EscPosConfirmations::WaitingSinceMs() const {
  return pending_.empty() ? std::max(probeMs_, progressMs_) : progressMs_;
}

long long EscPosConfirmations::AnswerBoundMs(int confirmTimeoutMs, int bufferBytes) const {
  std::uint64_t ahead = 0;
  for (const Pending& p : adopted_) ahead += p.bytes;
  if (!pending_.empty()) ahead += pending_.front().bytes;
  // Until one ID is answered, what an earlier run left may be a buffer's
  // worth at the slowest speed.
  if (answersIds == Ids::Unknown)
    ahead = std::max<std::uint64_t>(ahead, static_cast<unsigned>(bufferBytes));
  return confirmTimeoutMs + PrintMs(ahead);
}

std::vector<int> EscPosConfirmations::TakeNews() {
  std::vector<int> news;
  news.swap(news_);
  return news;
}

bool EscPosConfirmations::Settled(int job, JobStatus* status) const {
  const auto done = done_.find(job);
  if (done == done_.end()) return false;
  *status = done->second;
  return true;
}

bool EscPosConfirmations::StateOf(int job, bool confirming, JobStatus* status) const {
  if (Settled(job, status)) return true;
  for (const auto* waiting : {&pending_, &adopted_}) {
    for (const Pending& p : *waiting) {
      if (p.job != job) continue;
      *status = JobStatus{JobState::Pending, 0, {}, {}};
      return true;
    }
  }
  if (confirming) return false;
  *status = JobStatus{JobState::Aborted,
                      0,
                      "the printer does not answer process IDs now, so nothing tells whether "
                      "it came out",
                      {}};
  return true;
}

void EscPosConfirmations::KeepOnly(const std::vector<int>& ids) {
  std::map<int, JobStatus> kept;
  for (const int id : ids)
    if (auto done = done_.find(id); done != done_.end()) kept.insert(*done);
  done_.swap(kept);
}

}  // namespace druvo
