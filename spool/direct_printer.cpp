#include "spool/direct_printer.h"

#include <algorithm>
#include <utility>

#include "core/clock.h"
#include "core/entropy.h"
#include "spool/fault_switch.h"

namespace druvo {

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop flag
// A receipt's job number is its process ID read as a number: a later run
// knows the ID of a job it finds in the state file.
constexpr unsigned long kIds = 81450625;  // 95^4: four bytes from 0x20 to 0x7E
// Where a new connection's receipts' IDs begin: this far past the last ID
// named. One connection's receipts are never as far apart (no more than
// the jobs in flight are unconfirmed), so an earlier run's receipts tell
// by their IDs alone which connection carried them.
constexpr unsigned long kConnectionGap = 1000;

std::string IdText(unsigned long n) {
  std::string id(4, ' ');
  for (char& c : id) {
    c = static_cast<char>(0x20 + n % 95);
    n /= 95;
  }
  return id;
}
constexpr const char* kStoppedMidJob =
    "stopped mid-job; the connection was reset, so the printer gets no more of it";

}  // namespace

DirectPrinter::DirectPrinter(PrinterAddress address, std::unique_ptr<PrinterLink> link,
                             DirectOptions options)
    : address_(std::move(address)),
      link_(std::move(link)),
      options_(std::move(options)),
      confirm_(address_.confirm),
      // IDs start somewhere else each run, so that this run's are not an
      // earlier one's.
      nextId_(static_cast<unsigned long>(FreshSeed() % kIds)),
      // Our own probes count apart, far from the receipts.
      nextProbe_(nextId_ + kIds / 2) {
  if (address_.bufferBytes > 0) options_.bufferBytes = address_.bufferBytes;
}

DirectPrinter::~DirectPrinter() { Drop(false); }

long long DirectPrinter::NowMs() const { return options_.clock ? options_.clock() : SteadyMs(); }

void DirectPrinter::Drop(bool reset) {
  if (link_->IsOpen()) reset ? link_->Reset() : link_->Close();
}

bool DirectPrinter::Stopping() {
  if (options_.stopFlag == nullptr || *options_.stopFlag == 0) return false;
  const long long now = NowMs();
  if (stopSeenMs_ < 0) stopSeenMs_ = now;
  const long long since = now - stopSeenMs_;
  if (since < options_.stopGraceMs) return false;
  // A job the printer is taking finishes, bounded: cut off, its start would
  // come out twice. One whose bytes are all sent waits for the close.
  if (!underWay_ || since >= options_.finishAtStopMs) return true;
  return !closing_ && now - takenMs_ >= options_.stopGraceMs;
}

DirectPrinter::Wait DirectPrinter::WaitFor(bool writing, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    if (Stopping()) return Wait::Stopped;
    const long long left = end - NowMs();
    if (left <= 0) return Wait::TimedOut;
    const int n = link_->Wait(writing, static_cast<int>(left < kSliceMs ? left : kSliceMs));
    if (n > 0) return Wait::Ready;
    if (n < 0) return Wait::Failed;
  }
}

DirectPrinter::Wait DirectPrinter::WaitForRoom() {
  // A large send buffer fills with a slow printer: it has room again only
  // once the printer took much of it. The stall bound counts from the
  // printer's last progress (bytes it acknowledged, a reply), not from the
  // last room; a printer that says it stopped (paper, cover) is waited for.
  long long left = link_->Unacknowledged();
  heardMs_ = NowMs();
  for (;;) {
    const Wait w = WaitFor(true, 1000);
    if (w != Wait::TimedOut) return w;
    if (!ReadReplies()) return Wait::Failed;
    const long long now = link_->Unacknowledged();
    if ((now >= 0 && now < left) || !problem_.empty()) {
      heardMs_ = NowMs();
      Progressed();
    }
    left = now;
    if (NowMs() - heardMs_ >= options_.stallTimeoutMs) return Wait::TimedOut;
  }
}

OpResult DirectPrinter::Connect() {
  OpResult opened = link_->Open(options_.connectTimeoutMs, [this] { return Stopping(); });
  if (!opened) return opened;
  reader_ = EscPosReader{};
  nextId_ += kConnectionGap;
  ++connection_;
  probe_.clear();  // asked on the last connection
  asked_.clear();
  problem_.clear();
  autoStatus_ = false;
  if (!Confirming()) return OpResult::Ok();
  // Automatic status: the printer tells at once how it stands, and again at
  // every change. One that says nothing is polled instead.
  std::string error;
  if (link_->Send(escpos::kEnableAutoStatus, 3, &error) != 3)
    return Refused(" did not take the status request: " + error);
  // An ID asked with nothing before it is answered at once by a printer
  // that knows the request, or once it printed what it still holds.
  // Two, back to back: a printer whose piled-up answers shrink to the
  // latest answers only the second.
  if (!SendProbe(true)) return Refused(" closed the connection");
  const bool holds = !adopted_.empty();
  // The automatic status comes before the answer, where there is one.
  AwaitReplies(options_.statusTimeoutMs, [this, holds] {
    return probe_.empty() || (autoStatus_ && (ids_ == Ids::Yes || holds));
  });
  if (!link_->IsOpen()) return Refused(" closed the connection");
  // A printer that is stopped (paper, cover, FEED) prints nothing, so it
  // cannot answer yet: that says nothing about the request.
  if (ids_ == Ids::Unknown && earlierKnown_ && !holds && !probe_.empty() && RefreshStatus()) {
    TakeAsWithoutIds();
    return Connect();
  }
  return OpResult::Ok();
}

void DirectPrinter::TakeAsWithoutIds() {
  ids_ = Ids::No;
  probe_.clear();
  Note(
      " does not answer the process ID request (GS ( H): a job counts as printed once "
      "the printer has taken its bytes and closed the connection, not once it came out");
  Drop(false);
}

bool DirectPrinter::AnswersNoIds() {
  // Asked only with nothing of ours or of an earlier run's unconfirmed, and
  // before any answer: the connection made at the start came before the
  // engine told of earlier jobs, so its probe left unanswered said nothing.
  if (ids_ != Ids::Unknown || !adopted_.empty() || !pending_.empty()) return false;
  if (!link_->IsOpen() || !ReadReplies() || ids_ != Ids::Unknown || !RefreshStatus()) return false;
  // One asked before a stop ended may wait behind all the printer held then.
  if (probe_.empty() || probeMs_ < progressMs_) {
    probe_.clear();
    if (!SendProbe()) return false;
  }
  // A printer that answers IDs answers it once it printed what it still
  // holds (a buffer's worth at most, at the slowest speed until measured).
  // A stop says nothing: the question stays open.
  const long long end = probeMs_ + options_.confirmTimeoutMs + PrintMs(options_.bufferBytes);
  AwaitReplies(static_cast<int>(std::max(0LL, end - NowMs())),
               [this] { return ids_ != Ids::Unknown || !problem_.empty() || !link_->IsOpen(); });
  if (ids_ != Ids::Unknown || !link_->IsOpen() || NowMs() < end || !RefreshStatus()) return false;
  TakeAsWithoutIds();
  return true;
}

bool DirectPrinter::SendProbe(bool pair) {
  const std::string first = pair ? IdText(NextId(&nextProbe_)) : std::string();
  const std::string id = IdText(NextId(&nextProbe_));
  const std::string request =
      (pair ? escpos::ProcessIdRequest(first) : std::string()) + escpos::ProcessIdRequest(id);
  std::string error;
  if (link_->Send(request.data(), request.size(), &error) != static_cast<long long>(request.size()))
    return false;
  probe_ = id;
  probeFirst_ = first;
  firstAnswered_ = false;
  probeMs_ = NowMs();
  return true;
}

void DirectPrinter::AwaitReplies(int timeoutMs, const std::function<bool()>& done) {
  const long long end = NowMs() + timeoutMs;
  while (!done() && NowMs() < end && WaitFor(false, static_cast<int>(end - NowMs())) == Wait::Ready)
    if (!ReadReplies()) return;
}

OpResult DirectPrinter::OpenQueue(const char* /*name*/) {
  jobBytes_ = 0;
  jobSpoiled_.clear();
  jobStops_ = stops_;
  held_.clear();
  if (!Confirming() || !link_->IsOpen() || !ReadReplies()) {
    Drop(false);
    if (OpResult opened = Connect(); !opened) {
      Drop(false);
      return opened;
    }
  }
  // Stopped: what the printer holds prints once it is back; nothing new
  // goes before that. The line stays open for its answers.
  if (!problem_.empty() && !RefreshStatus()) {
    if (!Confirming()) Drop(false);
    return Refused(": " + problem_);
  }
  if (!TakesMore())
    return OpResult::Later("the printer has " + std::to_string(PendingBytes()) +
                           " bytes to print first");
  if (address_.statusQuery) {
    if (OpResult status = CheckStatus(); !status) {
      if (!Confirming()) Drop(false);
      return status;
    }
  }
  return OpResult::Ok();
}

OpResult DirectPrinter::CheckStatus() {
  // A greeting or anything else sent before the query is not an answer.
  if (!ReadReplies()) return Refused(" closed the connection");
  const std::size_t skippedBefore = reader_.Skipped();
  for (int i = 0; i < 3; ++i) {
    std::string error;
    if (!Ask(i, &error)) {
      return Refused(": status query failed: " +
                     (error.empty() ? "the query was not taken" : error));
    }
    bool stopped = false;
    if (!AwaitAnswer(escpos::kStatusQuery[i][2], skippedBefore, &stopped)) {
      if (stopped) return OpResult::Fail("stopped");
      // A printer that does not know the query still prints; so does a
      // device that answers something else (a FIFO reads back our query).
      const bool other = reader_.Skipped() != skippedBefore;
      if (!noStatusNoted_)
        Note(" does not answer status queries" +
             std::string(other ? " (it answered something else)" : "") + "; printing anyway");
      noStatusNoted_ = true;
      asked_.clear();
      return OpResult::Ok();
    }
  }
  const std::string problem = escpos::StatusProblem(answers_[1], answers_[2], answers_[4]);
  if (!problem.empty()) return Refused(": " + problem);
  return OpResult::Ok();
}

bool DirectPrinter::Ask(int query, std::string* error) {
  if (link_->Send(escpos::kStatusQuery[query], 3, error) != 3) return false;
  const int n = escpos::kStatusQuery[query][2];
  asked_.push_back(n);
  answers_.erase(n);
  return true;
}

bool DirectPrinter::AwaitAnswer(int n, std::size_t skippedBefore, bool* stopped) {
  // Ends early when the printer says something that is no answer.
  const long long end = NowMs() + options_.statusTimeoutMs;
  while (answers_.count(n) == 0 && reader_.Skipped() == skippedBefore && NowMs() < end) {
    const Wait w = WaitFor(false, static_cast<int>(end - NowMs()));
    *stopped = w == Wait::Stopped;
    if (w != Wait::Ready || !ReadReplies()) break;
  }
  return answers_.count(n) != 0;
}

bool DirectPrinter::RefreshStatus() {
  // Without automatic status nobody tells when the paper is back: asked.
  std::string error;
  bool stopped = false;
  if (!autoStatus_ && Ask(1, &error)) AwaitAnswer(2, reader_.Skipped(), &stopped);
  return problem_.empty();
}

bool DirectPrinter::ReadReplies() {
  if (!link_->IsOpen()) return false;
  unsigned char buffer[512];
  for (;;) {
    std::string error;
    const long long n = link_->Receive(buffer, sizeof buffer, &error);
    if (n == 0) return true;
    if (n < 0) {
      const std::string why = n == PrinterLink::kClosed
                                  ? "the printer closed the connection"
                                  : "the printer dropped the connection: " + error;
      if (jobSpoiled_.empty()) jobSpoiled_ = why;
      Orphan();
      Drop(false);
      return false;
    }
    heardMs_ = NowMs();
    reader_.Feed(buffer, static_cast<std::size_t>(n),
                 [this](const EscPosReply& reply) { OnReply(reply); });
  }
}

void DirectPrinter::OnReply(const EscPosReply& reply) {
  switch (reply.kind) {
    case EscPosReply::Kind::ProcessId:
      Confirmed(reply.id);
      return;
    case EscPosReply::Kind::AutoStatus:
      autoStatus_ = true;
      StatusChanged(escpos::AutoStatusProblem(reply.bytes));
      return;
    case EscPosReply::Kind::Status: {
      if (asked_.empty()) return;  // nobody asked: not an answer
      const int n = asked_.front();
      asked_.pop_front();
      answers_[n] = reply.bytes[0];
      if (n != 2 || autoStatus_) return;  // a status check judges all three
      StatusChanged(escpos::StatusProblem(0, reply.bytes[0], 0));
      return;
    }
  }
}

void DirectPrinter::StatusChanged(const std::string& problem) {
  const bool was = !problem_.empty();
  problem_ = problem;
  if (!problem.empty() && !was) {
    // A stop: the printer keeps what it holds and prints on once it is
    // back. The receipt at the head was being printed through it.
    ++stops_;
    if (!pending_.empty() && pending_.front().stopped.empty()) pending_.front().stopped = problem;
  } else if (problem.empty() && was) {
    progressMs_ = NowMs();  // the answers' time counts anew from here
    probeDue_ = !pending_.empty();
  }
}

unsigned long DirectPrinter::NextId(unsigned long* counter) {
  for (;;) {
    const unsigned long n = (*counter)++ % kIds;
    const int job = static_cast<int>(n) + 1;
    if (std::none_of(adopted_.begin(), adopted_.end(),
                     [job](const Pending& p) { return p.job == job; }))
      return n;
  }
}

int DirectPrinter::NameNextJob(const std::string& /*uuid*/) {
  if (!Confirming()) return 0;
  earlierKnown_ = true;
  // Connected first: the receipt's ID follows those of its own connection.
  if (!link_->IsOpen() || !ReadReplies()) {
    Drop(false);
    if (!Connect()) Drop(false);
    if (!Confirming()) return 0;
  }
  if (AnswersNoIds()) return 0;
  // An ID goes to the printer only with a receipt's last bytes: one named
  // for an attempt that never got there is named again.
  if (reserved_ < 0) reserved_ = static_cast<long long>(NextId(&nextId_));
  return static_cast<int>(reserved_) + 1;
}

void DirectPrinter::Adopt(const std::vector<int>& ids) {
  std::deque<Pending> earlier;
  for (const int id : ids) {
    const auto same = [id](const Pending& p) { return p.job == id; };
    if (id <= 0 || static_cast<unsigned long>(id) > kIds || done_.count(id) != 0 ||
        std::any_of(pending_.begin(), pending_.end(), same) ||
        std::any_of(adopted_.begin(), adopted_.end(), same))
      continue;
    earlier.push_back(Pending{id, IdText(static_cast<unsigned long>(id) - 1), 0, -1, {}});
  }
  if (earlier.empty()) return;
  // An earlier run sent them in this order, on one connection, before
  // anything this run sent.
  std::sort(earlier.begin(), earlier.end(),
            [](const Pending& a, const Pending& b) { return a.job < b.job; });
  adopted_.insert(adopted_.begin(), earlier.begin(), earlier.end());
  std::deque<std::string> heard;
  heard.swap(stray_);
  for (const std::string& id : heard) SettleAdopted(id);
}

void DirectPrinter::SettleAdopted() {
  if (adopted_.empty() || !Confirming()) return;
  if (!link_->IsOpen()) {
    if (lastConnectMs_ >= 0 && NowMs() - lastConnectMs_ < 1000) return;
    lastConnectMs_ = NowMs();
    if (!Connect()) {
      Drop(false);
      return;
    }
  }
  // Answered once everything the printer holds before it is printed: an
  // earlier receipt that has not answered by then is not there.
  if (probe_.empty() && !SendProbe()) {
    Drop(false);
    return;
  }
  ReadReplies();
}

void DirectPrinter::Settle(const Pending& p, JobState state, const std::string& why) {
  done_[p.job] = JobStatus{state, 0, why, {}};
  news_.push_back(p.job);
}

void DirectPrinter::Confirmed(const std::string& id) {
  // Whatever the printer answered, it knows the request.
  ids_ = Ids::Yes;
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
  SettleUpTo(upTo, probe);
}

bool DirectPrinter::SettleAdopted(const std::string& id) {
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

bool DirectPrinter::OneAfterAnother(const Pending& a, const Pending& b) {
  if (a.stops != b.stops) return false;
  // This run's know their connection; an earlier run's, by their IDs (a
  // line the disk lost may leave a gap).
  if (a.connection != 0 || b.connection != 0) return a.connection == b.connection;
  const unsigned long apart =
      (static_cast<unsigned long>(b.job) + kIds - static_cast<unsigned long>(a.job)) % kIds;
  return apart > 0 && apart < kConnectionGap;
}

void DirectPrinter::ProbeAnswered() {
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

void DirectPrinter::SettleUpTo(std::size_t upTo, bool probe) {
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
    } else if ((i < upTo || probe) && !acrossStop && autoStatus_) {
      Settle(p, JobState::Completed, {});
    } else {
      skipped = true;
      if (acrossStop) clears_ = true;
      Settle(p, JobState::Aborted,
             acrossStop ? "the printer cleared what it held when it stopped"
                        : "the printer answered a later receipt but not this one");
    }
  }
  const long long now = NowMs();
  // The printing speed, from receipts printed without a stop.
  if (!skipped && (pending_.empty() || pending_.front().stops == stops_)) {
    const long long took = now - progressMs_;
    if (took > 50 && bytes > 0) {
      const double speed = static_cast<double>(bytes) * 1000.0 / static_cast<double>(took);
      bytesPerSecond_ = bytesPerSecond_ <= 0 ? speed : 0.7 * bytesPerSecond_ + 0.3 * speed;
    }
  }
  progressMs_ = now;
}

void DirectPrinter::AskAfterStop() {
  // Sent between receipts only, never inside one.
  if (!probeDue_ || !link_->IsOpen() || !problem_.empty()) return;
  probeDue_ = false;
  if (!probe_.empty()) return;
  // Only for receipts begun before the stop.
  int last = 0;
  for (const Pending& p : pending_)
    if (p.stops != stops_) last = p.job;
  if (last != 0 && SendProbe()) probeAfter_ = last;
}

void DirectPrinter::Orphan() {
  for (Pending& p : pending_) adopted_.push_back(p);
  pending_.clear();
  probe_.clear();
  probeAfter_ = 0;
}

std::uint64_t DirectPrinter::PendingBytes() const {
  std::uint64_t bytes = 0;
  for (const Pending& p : pending_) bytes += p.bytes;
  return bytes;
}

long long DirectPrinter::PrintMs(std::uint64_t bytes) const {
  // Half the measured speed: a receipt with graphics prints slower than text.
  const double speed =
      bytesPerSecond_ > 0 ? bytesPerSecond_ / 2 : static_cast<double>(kSlowestPrintBytesPerSecond);
  return static_cast<long long>(static_cast<double>(bytes) * 1000.0 / speed);
}

void DirectPrinter::CheckConfirmationTime() {
  if (!problem_.empty()) return;  // a stop is waited for
  const bool probing = !probe_.empty() && !adopted_.empty();
  if (pending_.empty() && !probing) return;
  std::uint64_t ahead = 0;
  for (const Pending& p : adopted_) ahead += p.bytes;
  const long long since = pending_.empty() ? std::max(probeMs_, progressMs_) : progressMs_;
  if (!pending_.empty()) ahead += pending_.front().bytes;
  // Until one ID is answered, what an earlier run left may be a buffer's
  // worth at the slowest speed.
  if (ids_ == Ids::Unknown) ahead = std::max<std::uint64_t>(ahead, options_.bufferBytes);
  const long long boundMs = options_.confirmTimeoutMs + PrintMs(ahead);
  if (NowMs() - since < boundMs) return;
  if (probing && pending_.empty() && ids_ == Ids::Unknown && ++silentProbes_ >= 2) {
    // Not one answer this run, on two connections in a row, each given all
    // that time with the printer well: it answers no IDs. This run's
    // receipts it took count as such a printer's do; what an earlier run
    // left cannot be told printed, and is sent again.
    for (const Pending& p : adopted_)
      if (p.connection != 0)
        Settle(p, JobState::Completed, "taken by a printer that answers no process IDs");
    adopted_.clear();
    TakeAsWithoutIds();
    return;
  }
  // No answer, and no stop said: the line may be dead without a word. What
  // it carried is settled on a new connection, by the printer's kept answer
  // and a new ID; nothing is sent again before that.
  Note(" gave no answer for " + std::to_string(boundMs / 1000) +
       " s; connecting again to learn what it printed");
  Orphan();
  Drop(false);
}

OpResult DirectPrinter::JobStates(const char* /*queue*/, const std::vector<int>& ids,
                                  std::map<int, JobStatus>* states) {
  states->clear();
  if (ids.empty()) {
    // Only reading what the printer said: nothing asked, nothing forgotten;
    // what was settled since the last call is told.
    if (link_->IsOpen()) ReadReplies();
    AskAfterStop();
    CheckConfirmationTime();
    for (const int job : news_) {
      if (done_.count(job) != 0) (*states)[job] = done_[job];
    }
    news_.clear();
    return OpResult::Ok();
  }
  news_.clear();
  // Jobs an earlier run left unconfirmed are settled by their IDs before
  // anything is sent again.
  earlierKnown_ = true;
  if (Confirming()) Adopt(ids);
  SettleAdopted();
  if (link_->IsOpen() && ReadReplies() && !pending_.empty() && !autoStatus_ &&
      NowMs() - lastPollMs_ >= options_.pollStatusMs) {
    // No automatic status: asked for the offline cause instead.
    lastPollMs_ = NowMs();
    std::string error;
    Ask(1, &error);
  }
  AskAfterStop();
  CheckConfirmationTime();
  std::map<int, JobStatus> kept;
  for (const int id : ids) {
    auto done = done_.find(id);
    if (done != done_.end()) {
      (*states)[id] = done->second;
      kept.insert(*done);
      continue;
    }
    for (const auto* waiting : {&pending_, &adopted_}) {
      for (const Pending& p : *waiting) {
        if (p.job == id) (*states)[id] = JobStatus{JobState::Pending, 0, {}, {}};
      }
    }
    if (!Confirming() && states->count(id) == 0) {
      (*states)[id] = JobStatus{JobState::Aborted,
                                0,
                                "the printer does not answer process IDs now, so nothing "
                                "tells whether it came out",
                                {}};
    }
  }
  done_.swap(kept);  // what is no longer asked about is settled
  return OpResult::Ok();
}

OpResult DirectPrinter::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (!underWay_) takenMs_ = NowMs();
  underWay_ = true;
  jobBytes_ += size;
  if (!Confirming()) return Send(bytes, size);
  // The receipt's last bytes go with its ID request, in one piece: a
  // printer never has a whole receipt without the request after it.
  held_.append(reinterpret_cast<const char*>(bytes), size);
  if (held_.size() <= kHeldBytes) return OpResult::Ok();
  const std::size_t now = held_.size() - kHeldBytes;
  const OpResult sent = Send(reinterpret_cast<const unsigned char*>(held_.data()), now);
  held_.erase(0, now);
  return sent;
}

OpResult DirectPrinter::Send(const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    if (!jobSpoiled_.empty()) return Refused(": " + jobSpoiled_);
    std::string error;
    const long long n = link_->Send(bytes, size, &error);
    if (n > 0) {
      bytes += n;
      size -= static_cast<std::size_t>(n);
      Progressed();
      continue;
    }
    if (n < 0) {
      return Refused((link_->IsSocket() ? " dropped the connection: " : " refused the data: ") +
                     error);
    }
    // What the printer says meanwhile must not fill its side of the line.
    if (!ReadReplies()) continue;
    const Wait w = WaitForRoom();
    if (w == Wait::TimedOut) {
      return Refused(" took no data for " + std::to_string(options_.stallTimeoutMs / 1000) +
                     " s (paper out or offline?)");
    }
    if (w == Wait::Stopped) return OpResult::Fail(kStoppedMidJob);
    if (w == Wait::Failed) return Refused(": the link failed");
  }
  return OpResult::Ok();
}

OpResult DirectPrinter::EndDocument() {
  const OpResult ended = Confirming() ? SendLast() : DrainAndClose();
  underWay_ = closing_ = false;
  return ended;
}

OpResult DirectPrinter::SendLast() {
  // A lost connection during the job spoils it.
  if (!ReadReplies() || !jobSpoiled_.empty()) return Refused(": " + jobSpoiled_);
  const std::uint64_t receiptBytes = jobBytes_;
  // Each attempt its own: named before it was sent, or new.
  const unsigned long n = reserved_ >= 0 ? static_cast<unsigned long>(reserved_) : NextId(&nextId_);
  reserved_ = -1;
  const std::string last = held_ + escpos::ProcessIdRequest(IdText(n));
  held_.clear();
  if (OpResult sent = Send(reinterpret_cast<const unsigned char*>(last.data()), last.size()); !sent)
    return sent;
  if (pending_.empty()) progressMs_ = NowMs();
  lastJob_ = static_cast<int>(n) + 1;
  pending_.push_back(Pending{lastJob_, IdText(n), receiptBytes, jobStops_, {}, connection_});
  if (FaultOn(Fault::ConfirmOnTaken)) {
    Settle(pending_.back(), JobState::Completed, {});
    pending_.pop_back();
  }
  AskAfterStop();
  return OpResult::Ok();
}

OpResult DirectPrinter::DrainAndClose() {
  lastJob_ = 0;
  if (!link_->IsSocket()) return OpResult::Ok();  // a device has taken what write() took
  // Every byte acknowledged by the printer, with progress at least every
  // stall period; then no more to send; then the printer closes or goes quiet.
  const bool seesAcks = link_->Unacknowledged() >= 0;
  long long left = link_->Unacknowledged();
  long long lastProgress = NowMs();
  while (left > 0) {
    if (Stopping()) return OpResult::Fail(kStoppedMidJob);
    if (NowMs() - lastProgress > options_.stallTimeoutMs) {
      return Refused(" took no data for " + std::to_string(options_.stallTimeoutMs / 1000) +
                     " s (" + std::to_string(left) + " bytes not taken)");
    }
    // A printer that talks meanwhile (status, greetings) must not make this
    // wait spin.
    if (WaitFor(false, 10) == Wait::Ready && !ReadReplies())
      return Refused(" closed the connection with " + std::to_string(left) + " bytes not taken");
    const long long now = link_->Unacknowledged();
    if (now < left) {
      lastProgress = NowMs();
      Progressed();
    }
    left = now;
  }
  link_->ShutdownSending();
  closing_ = true;
  // Where acknowledgements are seen the printer has it all: it closes, or
  // stays quiet a moment. Elsewhere its close is the only word that it took
  // every byte, and taking them may last as long as a slow printer needs.
  const int boundMs =
      seesAcks ? options_.drainTimeoutMs
      : address_.keepsLineOpen
          ? options_.quietMs
          : options_.stallTimeoutMs + static_cast<int>(jobBytes_ * 1000 / kSlowestBytesPerSecond);
  const long long end = NowMs() + boundMs;
  bool closed = false;
  unsigned char sink[512];
  while (!closed && NowMs() < end) {
    const Wait w = WaitFor(false, seesAcks ? options_.quietMs : static_cast<int>(end - NowMs()));
    if (w == Wait::Stopped && !seesAcks) return OpResult::Fail(kStoppedMidJob);
    if (w != Wait::Ready) break;  // quiet, or stopped
    std::string error;
    const long long n = link_->Receive(sink, sizeof sink, &error);
    closed = n == PrinterLink::kClosed;
    if (n == PrinterLink::kFailed) return Refused(" dropped the connection: " + error);
  }
  // A printer out of paper or switched off takes a few KB and never
  // closes: only one said to keep its line open is taken at its bytes.
  if (!seesAcks && !closed && !address_.keepsLineOpen) {
    return Refused(" did not confirm the job: it did not close the connection within " +
                   std::to_string(boundMs / 1000) +
                   " s of the last byte (switched off, or out of paper? a printer that keeps "
                   "its line open after every job needs ?confirm=taken)");
  }
  Drop(false);
  return OpResult::Ok();
}

void DirectPrinter::AbortDocument() {
  // Reset, not closed: what is still queued must not reach the printer. The
  // receipts before it are settled on the next connection.
  underWay_ = closing_ = false;
  Orphan();
  Drop(link_->IsSocket());
}

void DirectPrinter::CloseQueue() {
  if (!Confirming()) Drop(false);
}

std::string DirectPrinter::QueueProblem(const char* /*queue*/) { return problem_; }

}  // namespace druvo
