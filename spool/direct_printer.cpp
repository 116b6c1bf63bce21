#include "spool/direct_printer.h"

#include <algorithm>
#include <utility>

#include "core/clock.h"
#include "core/entropy.h"

namespace druvo {

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop flag
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
      book_(static_cast<unsigned long>(FreshSeed())) {
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
  book_.Connected();
  asked_.clear();
  problem_.clear();
  book_.autoStatus = false;
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
  const bool holds = book_.Holds();
  // The automatic status comes before the answer, where there is one.
  AwaitReplies(options_.statusTimeoutMs, [this, holds] {
    return !book_.Probing() ||
           (book_.autoStatus && (book_.answersIds == EscPosConfirmations::Ids::Yes || holds));
  });
  if (!link_->IsOpen()) return Refused(" closed the connection");
  // A printer that is stopped (paper, cover, FEED) prints nothing, so it
  // cannot answer yet: that says nothing about the request.
  if (book_.answersIds == EscPosConfirmations::Ids::Unknown && earlierKnown_ && !holds &&
      book_.Probing() && RefreshStatus()) {
    TakeAsWithoutIds();
    return Connect();
  }
  return OpResult::Ok();
}

void DirectPrinter::TakeAsWithoutIds() {
  book_.AnswersNoIds();
  Note(
      " does not answer the process ID request (GS ( H): a job counts as printed once "
      "the printer has taken its bytes and closed the connection, not once it came out");
  Drop(false);
}

bool DirectPrinter::AnswersNoIds() {
  // Asked only with nothing of ours or of an earlier run's unconfirmed, and
  // before any answer: the connection made at the start came before the
  // engine told of earlier jobs, so its probe left unanswered said nothing.
  const auto unknown = [this] { return book_.answersIds == EscPosConfirmations::Ids::Unknown; };
  if (!unknown() || !book_.NothingWaits()) return false;
  if (!link_->IsOpen() || !ReadReplies() || !unknown() || !RefreshStatus()) return false;
  // One asked before a stop ended may wait behind all the printer held then.
  if (!book_.Probing() || book_.ProbeMs() < book_.ProgressMs()) {
    if (!SendProbe()) return false;
  }
  // A printer that answers IDs answers it once it printed what it still
  // holds (a buffer's worth at most, at the slowest speed until measured).
  // A stop says nothing: the question stays open.
  const long long end = book_.ProbeMs() + options_.confirmTimeoutMs +
                        book_.PrintMs(static_cast<std::uint64_t>(options_.bufferBytes));
  AwaitReplies(static_cast<int>(std::max(0LL, end - NowMs())),
               [&] { return !unknown() || !problem_.empty() || !link_->IsOpen(); });
  if (!unknown() || !link_->IsOpen() || NowMs() < end || !RefreshStatus()) return false;
  TakeAsWithoutIds();
  return true;
}

bool DirectPrinter::SendProbe(bool pair) {
  const std::string request = book_.Probe(pair, NowMs());
  std::string error;
  return link_->Send(request.data(), request.size(), &error) ==
         static_cast<long long>(request.size());
}

void DirectPrinter::AwaitReplies(int timeoutMs, const std::function<bool()>& done) {
  const long long end = NowMs() + timeoutMs;
  while (!done() && NowMs() < end && WaitFor(false, static_cast<int>(end - NowMs())) == Wait::Ready)
    if (!ReadReplies()) return;
}

OpResult DirectPrinter::OpenQueue(const char* /*name*/) {
  jobBytes_ = 0;
  jobSpoiled_.clear();
  jobStops_ = book_.Stops();
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
    return OpResult::Later("the printer has " + std::to_string(book_.PendingBytes()) +
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
  if (!book_.autoStatus && Ask(1, &error)) AwaitAnswer(2, reader_.Skipped(), &stopped);
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
      book_.Lost();
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
      book_.Answered(reply.id, NowMs());
      return;
    case EscPosReply::Kind::AutoStatus:
      book_.autoStatus = true;
      StatusChanged(escpos::AutoStatusProblem(reply.bytes));
      return;
    case EscPosReply::Kind::Status: {
      if (asked_.empty()) return;  // nobody asked: not an answer
      const int n = asked_.front();
      asked_.pop_front();
      answers_[n] = reply.bytes[0];
      if (n != 2 || book_.autoStatus) return;  // a status check judges all three
      StatusChanged(escpos::StatusProblem(0, reply.bytes[0], 0));
      return;
    }
  }
}

void DirectPrinter::StatusChanged(const std::string& problem) {
  const bool was = !problem_.empty();
  problem_ = problem;
  book_.StatusChanged(was, problem, NowMs());
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
  return book_.NameNext();
}

void DirectPrinter::SettleAdopted() {
  if (!book_.Holds() || !Confirming()) return;
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
  if (!book_.Probing() && !SendProbe()) {
    Drop(false);
    return;
  }
  ReadReplies();
}

void DirectPrinter::AskAfterStop() {
  // Sent between receipts only, never inside one.
  if (!link_->IsOpen() || !problem_.empty()) return;
  const int last = book_.ProbeAfterStopDue();
  if (last != 0 && SendProbe()) book_.ProbedAfter(last);
}

void DirectPrinter::CheckConfirmationTime() {
  if (!problem_.empty()) return;  // a stop is waited for
  const bool probing = book_.Probing() && book_.Holds();
  if (book_.NothingOfOurs() && !probing) return;
  const long long boundMs = book_.AnswerBoundMs(options_.confirmTimeoutMs, options_.bufferBytes);
  if (NowMs() - book_.WaitingSinceMs() < boundMs) return;
  if (probing && book_.NothingOfOurs() && book_.answersIds == EscPosConfirmations::Ids::Unknown &&
      ++silentProbes_ >= 2) {
    // Not one answer this run, on two connections in a row, each given all
    // that time with the printer well: it answers no IDs.
    TakeAsWithoutIds();
    return;
  }
  // No answer, and no stop said: the line may be dead without a word. What
  // it carried is settled on a new connection, by the printer's kept answer
  // and a new ID; nothing is sent again before that.
  Note(" gave no answer for " + std::to_string(boundMs / 1000) +
       " s; connecting again to learn what it printed");
  book_.Lost();
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
    for (const int job : book_.TakeNews()) {
      JobStatus status;
      if (book_.Settled(job, &status)) (*states)[job] = status;
    }
    return OpResult::Ok();
  }
  book_.TakeNews();
  // Jobs an earlier run left unconfirmed are settled by their IDs before
  // anything is sent again.
  earlierKnown_ = true;
  if (Confirming()) book_.Adopt(ids);
  SettleAdopted();
  if (link_->IsOpen() && ReadReplies() && !book_.NothingOfOurs() && !book_.autoStatus &&
      NowMs() - lastPollMs_ >= options_.pollStatusMs) {
    // No automatic status: asked for the offline cause instead.
    lastPollMs_ = NowMs();
    std::string error;
    Ask(1, &error);
  }
  AskAfterStop();
  CheckConfirmationTime();
  for (const int id : ids) {
    JobStatus status;
    if (book_.StateOf(id, Confirming(), &status)) (*states)[id] = status;
  }
  book_.KeepOnly(ids);  // what is no longer asked about is settled
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
  const std::string last = held_ + escpos::ProcessIdRequest(book_.TakeName());
  held_.clear();
  if (OpResult sent = Send(reinterpret_cast<const unsigned char*>(last.data()), last.size()); !sent)
    return sent;
  lastJob_ = book_.Sent(receiptBytes, jobStops_, NowMs());
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
  book_.Lost();
  Drop(link_->IsSocket());
}

void DirectPrinter::CloseQueue() {
  if (!Confirming()) Drop(false);
}

std::string DirectPrinter::QueueProblem(const char* /*queue*/) { return problem_; }

}  // namespace druvo
