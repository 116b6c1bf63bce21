#include "spool/direct_printer.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/clock.h"

namespace druvo {

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop flag
// A receipt's job number is its process ID read as a number: a later run
// knows the ID of a job it finds in the state file.
constexpr unsigned long kIds = 81450625;  // 95^4: four bytes from 0x20 to 0x7E

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

long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

DirectPrinter::DirectPrinter(PrinterAddress address, std::unique_ptr<PrinterLink> link,
                             DirectOptions options)
    : address_(std::move(address)),
      link_(std::move(link)),
      options_(std::move(options)),
      confirm_(address_.confirm),
      instance_(WallMs()),
      // IDs start somewhere else each run, so that this run's are not an
      // earlier one's.
      nextId_(static_cast<unsigned long>(static_cast<unsigned long long>(instance_) % kIds)) {}

DirectPrinter::~DirectPrinter() { Drop(false); }

long long DirectPrinter::NowMs() const { return options_.clock ? options_.clock() : SteadyMs(); }

void DirectPrinter::Drop(bool reset) {
  if (link_->IsOpen()) reset ? link_->Reset() : link_->Close();
}

bool DirectPrinter::Stopping() {
  if (options_.stopFlag == nullptr || *options_.stopFlag == 0) return false;
  if (stopSeenMs_ < 0) stopSeenMs_ = NowMs();
  return NowMs() - stopSeenMs_ >= options_.stopGraceMs;
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
  // printer's last progress (bytes it acknowledged), not from the last room.
  long long left = link_->Unacknowledged();
  long long since = NowMs();
  for (;;) {
    const Wait w = WaitFor(true, 1000);
    if (w != Wait::TimedOut) return w;
    const long long now = link_->Unacknowledged();
    if (now >= 0 && now < left) {
      since = NowMs();
      Progressed();
    }
    left = now;
    if (NowMs() - since >= options_.stallTimeoutMs) return Wait::TimedOut;
  }
}

OpResult DirectPrinter::Connect() {
  OpResult opened = link_->Open(options_.connectTimeoutMs, [this] { return Stopping(); });
  if (!opened) return opened;
  reader_ = EscPosReader{};
  probe_.clear();  // asked on the last connection
  asked_.clear();
  problem_.clear();
  autoStatus_ = false;
  if (!Confirming()) return OpResult::Ok();
  // Automatic status: the printer tells at once how it stands, and again at
  // every change. One that says nothing is polled instead.
  const std::string enable(reinterpret_cast<const char*>(escpos::kEnableAutoStatus), 3);
  if (OpResult sent = Write(enable.data(), enable.size()); !sent) return sent;
  jobBytes_ = 0;
  const long long end = NowMs() + options_.statusTimeoutMs;
  while (!autoStatus_ && NowMs() < end &&
         WaitFor(false, static_cast<int>(end - NowMs())) == Wait::Ready) {
    if (!ReadReplies()) return Refused(" closed the connection");
  }
  if (!problem_.empty()) return Refused(": " + problem_);
  return OpResult::Ok();
}

OpResult DirectPrinter::OpenQueue(const char* /*name*/) {
  jobBytes_ = 0;
  jobSpoiled_.clear();
  if (!Confirming() || !link_->IsOpen() || !ReadReplies()) {
    Drop(false);
    if (OpResult opened = Connect(); !opened) {
      Drop(false);
      return opened;
    }
  } else if (!problem_.empty() && !RefreshStatus()) {
    return Refused(": " + problem_);
  }
  if (address_.statusQuery) {
    if (OpResult status = CheckStatus(); !status) {
      Drop(false);
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
      AbortPending(why);
      if (jobSpoiled_.empty()) jobSpoiled_ = why;
      Drop(false);
      return false;
    }
    reader_.Feed(buffer, static_cast<std::size_t>(n),
                 [this](const EscPosReply& reply) { OnReply(reply); });
  }
}

void DirectPrinter::OnReply(const EscPosReply& reply) {
  std::string problem;
  switch (reply.kind) {
    case EscPosReply::Kind::ProcessId:
      Confirmed(reply.id);
      return;
    case EscPosReply::Kind::AutoStatus:
      autoStatus_ = true;
      problem = escpos::AutoStatusProblem(reply.bytes);
      break;
    case EscPosReply::Kind::Status: {
      if (asked_.empty()) return;  // nobody asked: not an answer
      const int n = asked_.front();
      asked_.pop_front();
      answers_[n] = reply.bytes[0];
      if (n != 2 || autoStatus_) return;  // a status check judges all three
      problem = escpos::StatusProblem(0, reply.bytes[0], 0);
      break;
    }
  }
  problem_ = problem;
  if (problem.empty()) return;
  // Whatever was not confirmed before the printer stopped did not come out
  // whole, and neither does the receipt being sent.
  AbortPending(problem);
  if (jobSpoiled_.empty()) jobSpoiled_ = problem;
}

unsigned long DirectPrinter::NextId() {
  for (;;) {
    const unsigned long n = nextId_++ % kIds;
    const int job = static_cast<int>(n) + 1;
    if (std::none_of(adopted_.begin(), adopted_.end(),
                     [job](const Pending& p) { return p.job == job; }))
      return n;
  }
}

int DirectPrinter::NameNextJob(const std::string& /*uuid*/) {
  if (!Confirming()) return 0;
  reserved_ = static_cast<long long>(NextId());
  return static_cast<int>(reserved_) + 1;
}

void DirectPrinter::Adopt(const std::vector<int>& ids) {
  for (const int id : ids) {
    const auto same = [id](const Pending& p) { return p.job == id; };
    if (id <= 0 || static_cast<unsigned long>(id) > kIds || done_.count(id) != 0 ||
        std::any_of(pending_.begin(), pending_.end(), same) ||
        std::any_of(adopted_.begin(), adopted_.end(), same))
      continue;
    adopted_.push_back(Pending{id, IdText(static_cast<unsigned long>(id) - 1), 0});
  }
  // An earlier run sent them in this order, on one connection.
  std::sort(adopted_.begin(), adopted_.end(),
            [](const Pending& a, const Pending& b) { return a.job < b.job; });
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
  if (probe_.empty()) {
    // Answered once everything the printer holds before it is printed: an
    // earlier run's receipt that has not answered by then is not there.
    const std::string id = IdText(NextId());
    const std::string request = escpos::ProcessIdRequest(id);
    std::string error;
    if (link_->Send(request.data(), request.size(), &error) !=
        static_cast<long long>(request.size())) {
      Drop(false);
      return;
    }
    probe_ = id;
  }
  ReadReplies();
}

void DirectPrinter::Confirmed(const std::string& id) {
  // An earlier run's receipt: its own answer, or the one answer the printer
  // kept while nobody was connected (the latest): those before it on that
  // connection came out before it.
  for (std::size_t k = 0; k < adopted_.size(); ++k) {
    if (adopted_[k].id != id) continue;
    for (std::size_t i = 0; i <= k; ++i)
      done_[adopted_[i].job] = JobStatus{JobState::Completed, 0, {}, {}};
    adopted_.erase(adopted_.begin(), adopted_.begin() + static_cast<long>(k) + 1);
    return;
  }
  if (!probe_.empty() && id == probe_) {
    probe_.clear();
    for (const Pending& p : adopted_) {
      done_[p.job] = JobStatus{JobState::Aborted,
                               0,
                               "the printer no longer had it after druvo restarted (lost with "
                               "its power, or cleared)",
                               {}};
    }
    adopted_.clear();
    return;
  }
  std::size_t upTo = 0;
  while (upTo < pending_.size() && pending_[upTo].id != id) ++upTo;
  if (upTo == pending_.size()) return;  // a late answer to an attempt given up
  // The printer answers an ID once everything before it is printed, and one
  // that could not answer earlier ones may send the latest alone.
  for (std::size_t i = 0; i <= upTo; ++i) {
    done_[pending_.front().job] = JobStatus{JobState::Completed, 0, {}, {}};
    pending_.pop_front();
  }
  confirmedAny_ = true;
  progressMs_ = NowMs();
}

void DirectPrinter::AbortPending(const std::string& why) {
  for (const Pending& p : pending_) done_[p.job] = JobStatus{JobState::Aborted, 0, why, {}};
  pending_.clear();
}

void DirectPrinter::CheckConfirmationTime() {
  if (pending_.empty()) return;
  const Pending& head = pending_.front();
  const long long boundMs = options_.confirmTimeoutMs +
                            static_cast<long long>(head.bytes) * 1000 / kSlowestBytesPerSecond;
  if (NowMs() - progressMs_ < boundMs) return;
  if (confirmedAny_) {
    AbortPending("no confirmation within " + std::to_string(boundMs / 1000) + " s");
    return;
  }
  // Never answered: a printer without the process ID response. It is said
  // once, and from now on a job counts as printed when its bytes are taken.
  Note(
      " does not answer the process ID request (GS ( H): from now on a job counts as printed "
      "once the printer has taken its bytes, not once it came out");
  confirmUnsupported_ = true;
  for (const Pending& p : pending_) done_[p.job] = JobStatus{JobState::Completed, 0, {}, {}};
  pending_.clear();
  Drop(false);
}

OpResult DirectPrinter::JobStates(const char* /*queue*/, const std::vector<int>& ids,
                                  std::map<int, JobStatus>* states) {
  states->clear();
  if (ids.empty()) {
    // Only reading what the printer said: nothing asked, nothing forgotten.
    if (link_->IsOpen()) ReadReplies();
    CheckConfirmationTime();
    return OpResult::Ok();
  }
  // Jobs an earlier run left unconfirmed are settled by their IDs before
  // anything is sent again.
  if (Confirming()) Adopt(ids);
  SettleAdopted();
  if (link_->IsOpen() && ReadReplies() && !pending_.empty() && !autoStatus_ &&
      NowMs() - lastPollMs_ >= options_.pollStatusMs) {
    // No automatic status: asked for the offline cause instead.
    lastPollMs_ = NowMs();
    std::string error;
    Ask(1, &error);
  }
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
  }
  done_.swap(kept);  // what is no longer asked about is settled
  return OpResult::Ok();
}

OpResult DirectPrinter::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  jobBytes_ += size;
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
  if (!Confirming()) return DrainAndClose();
  // Whatever the printer said during the job first: a paper out spoils it.
  if (!ReadReplies() || !jobSpoiled_.empty()) return Refused(": " + jobSpoiled_);
  const std::uint64_t receiptBytes = jobBytes_;
  // Each attempt its own: named before it was sent, or new.
  const unsigned long n = reserved_ >= 0 ? static_cast<unsigned long>(reserved_) : NextId();
  reserved_ = -1;
  const std::string request = escpos::ProcessIdRequest(IdText(n));
  if (OpResult sent = Write(request.data(), request.size()); !sent) return sent;
  if (pending_.empty()) progressMs_ = NowMs();
  lastJob_ = static_cast<int>(n) + 1;
  pending_.push_back(Pending{lastJob_, IdText(n), receiptBytes});
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
  // Where acknowledgements are seen the printer has it all: it closes, or
  // stays quiet a moment. Elsewhere its close is the only word that it took
  // every byte, and taking them may last as long as a slow printer needs.
  const int boundMs = seesAcks ? options_.drainTimeoutMs
                               : options_.stallTimeoutMs +
                                     static_cast<int>(jobBytes_ * 1000 / kSlowestBytesPerSecond);
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
  if (!seesAcks && !closed) return Unconfirmed(boundMs);
  unconfirmedInRow_ = 0;
  Drop(false);
  return OpResult::Ok();
}

OpResult DirectPrinter::Unconfirmed(int boundMs) {
  // A printer switched off takes no new connection, so its next try fails
  // early. One that took the same file's bytes twice without closing keeps
  // the line open after every job: taken at its word from then on, or it
  // would get each receipt again and again.
  if (++unconfirmedInRow_ >= 2) {
    if (!keepsOpenNoted_)
      Note(
          " keeps the connection open after a job: from now on a job counts as printed once "
          "the printer has taken its bytes");
    keepsOpenNoted_ = true;
    Drop(false);
    return OpResult::Ok();
  }
  return Refused(" did not confirm the job: it did not close the connection within " +
                 std::to_string(boundMs / 1000) +
                 " s of the last byte (switched off, or out of paper?)");
}

void DirectPrinter::AbortDocument() {
  // Reset, not closed: what is still queued must not reach the printer.
  Drop(link_->IsSocket());
  AbortPending("the connection was reset");
}

void DirectPrinter::CloseQueue() {
  if (!Confirming()) Drop(false);
}

std::string DirectPrinter::QueueProblem(const char* /*queue*/) { return problem_; }

}  // namespace druvo
