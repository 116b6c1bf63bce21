#include "spool/spool_cycle.h"

#include <cstring>
#include <utility>

#include "core/entropy.h"
#include "core/text_helpers.h"

namespace druvo {

namespace {

// Whether the walk goes on to the next file after this outcome.
bool GoesOn(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::Printed:
    case JobOutcome::Grew:
    case JobOutcome::InFlight:
    case JobOutcome::Gone:
    case JobOutcome::Resend:
      return true;
    case JobOutcome::NotReady:  // keeps the order: the rest wait behind it
    case JobOutcome::PrinterUnavailable:
    case JobOutcome::Failed:
    case JobOutcome::Stopped:
      return false;
  }
  return false;
}

}  // namespace

SpoolEngine::SpoolEngine(const SpoolSettings& settings, RecordList& jobs, SpoolPorts ports,
                         EngineOptions options)
    : settings_(settings),
      jobs_(jobs),
      ports_(ports),
      options_(options),
      folder_(DropFolder::Of(settings.fileSource, ports.files.Separator())),
      uuids_(FreshSeed()) {
  report_.since = ports_.timer.Now();
  LoadState();
  SettleClaims();
}

void SpoolEngine::Show(EngineState state) {
  if (report_.state != state) {
    report_.state = state;
    report_.since = ports_.timer.Now();
  }
  ports_.status.ShowState(state);
}

void SpoolEngine::Tell(const std::string& fault) {
  report_.reason = fault;
  ports_.status.ShowFault(fault);
}

void SpoolEngine::LoadState() {
  if (ports_.state == nullptr) return;
  std::string text;
  const std::string where = QuotedForLog(ports_.state->Where());
  if (OpResult r = ports_.state->Load(&text); !r) {
    Log(LogLevel::Warning, "cannot read the state file " + where + ": " + r.error +
                               "; starting with nothing remembered");
    return;
  }
  if (text.empty()) return;
  std::string why;
  if (!ParseState(text, &state_, &why)) {
    Log(LogLevel::Warning,
        "the state file " + where + " is damaged (" + why + "); starting with nothing remembered");
    return;
  }
  if (!why.empty()) {
    Log(LogLevel::Warning, "the state file " + where + " is damaged (" + why +
                               "); what the other lines remember is kept");
  }
  saved_ = state_;
  Log(LogLevel::Info, "state file " + where + ": " + std::to_string(state_.undeletable.size()) +
                          " printed file(s) still to delete, " +
                          std::to_string(state_.inFlight.size()) + " job(s) in flight");
}

bool SpoolEngine::SaveState() {
  if (ports_.state == nullptr || state_ == saved_) return true;
  const std::string where = ports_.state->Where();
  if (OpResult r = ports_.state->Save(FormatState(state_)); !r) {
    // Only a restart would forget; a job is not sent while its record
    // cannot be kept (see RecordBeforeSending).
    if (faults_.Raise(FaultKind::StateNotSaved, where)) {
      Log(LogLevel::Error, "cannot save the state file " + QuotedForLog(where) + ": " + r.error);
    }
    return false;
  }
  if (faults_.Clear(FaultKind::StateNotSaved, where))
    Log(LogLevel::Info, "the state file " + QuotedForLog(where) + " is saved again");
  saved_ = state_;
  return true;
}

// ---- The walk -------------------------------------------------------------

void SpoolEngine::RunSpoolCycle() {
  const int count = CollectJobs();
  report_.waiting = static_cast<std::size_t>(count);
  report_.head.clear();
  report_.headWhy.clear();
  if (count == 0) {
    NothingWaits();
    return;
  }
  Show(EngineState::Busy);
  ports_.timer.Stop();
  if (count > 1) SortJobsByWriteTime(jobs_);
  report_.oldest = JobWriteTime(*static_cast<const JobRecord*>(ListFirst(jobs_)));

  const Flights flights = QueryInFlight();
  JobOutcome last = JobOutcome::Gone;
  for (void* payload = ListFirst(jobs_); payload != nullptr; payload = ListNext(payload)) {
    if (StopRequested()) break;
    const auto* record = static_cast<const JobRecord*>(payload);
    if (record->path[0] == '\0') continue;
    // The rest wait until some jobs in flight are printed.
    if (state_.inFlight.count(record->path) == 0 && (InFlightFull() || !ports_.jobs.TakesMore()))
      break;
    last = PrintOne(*record, flights);
    if (!GoesOn(last)) break;
  }
  SettlePrintedInFlight(flights);
  if (last != JobOutcome::NotReady) ClearStuck();
  EndCycle(last == JobOutcome::PrinterUnavailable || last == JobOutcome::Failed ||
           last == JobOutcome::Stopped);
}

JobOutcome SpoolEngine::PrintOne(const JobRecord& record, const Flights& flights) {
  const std::string path = record.path;
  int resent = 0;
  if (state_.inFlight.count(path) != 0) {
    const JobOutcome settled = HandleInFlight(path, flights, &resent);
    if (settled == JobOutcome::Gone) --report_.waiting;
    if (settled != JobOutcome::Resend) return settled;
    ++report_.retried;
  }
  // Written to since its last close: its writer is not done, whoever it is.
  if (ports_.hints != nullptr &&
      ports_.hints->StateOf(path.c_str() + folder_.prefix.size()) == WriteState::Writing)
    return Waits(path, std::string());
  SendsCutJobAgain(path);
  // Deleted once printed: the job is remembered before it exists, or not sent.
  std::unique_ptr<InputFile> opened;
  if (settings_.deleteAfterPrinted != 0 && !RecordBeforeSending(path, record, resent, &opened))
    return Waits(path, "the state file cannot be written; nothing is sent until it can");
  const JobResult job =
      PrintFileRaw(path.c_str(), settings_.printerName, ports_.files, ports_.spooler, buffers_,
                   settings_.byteForByte != 0, &ports_.status, std::move(opened));
  if (settings_.deleteAfterPrinted != 0 &&
      (job.jobId == 0 || (job.outcome != JobOutcome::Printed && job.outcome != JobOutcome::Grew))) {
    state_.inFlight.erase(path);  // no job came of it
    SaveState();
  }
  switch (job.outcome) {
    case JobOutcome::Printed:
    case JobOutcome::Grew:
      return HandedOver(path, record, job, resent);
    case JobOutcome::Gone:
      --report_.waiting;
      return JobOutcome::Gone;
    case JobOutcome::NotReady:
      return Waits(path, job.error);
    default:
      return JobFailed(path, record, job);
  }
}

void SpoolEngine::SendsCutJobAgain(const std::string& path) {
  const auto cut = state_.cut.find(path);
  if (cut == state_.cut.end()) return;
  Log(LogLevel::Warning, QuotedForLog(path) + " was cut off when druvo last stopped, after " +
                             std::to_string(cut->second.sent) +
                             " bytes; it is sent again whole, so what the printer had of it "
                             "may come out twice");
  state_.cut.erase(cut);
  SaveState();
}

JobOutcome SpoolEngine::HandedOver(const std::string& path, const JobRecord& record,
                                   const JobResult& job, int resent) {
  const RememberedFile file =
      FileAsRead(JobWriteTime(record), JobSize(record), job.identity, scanGeneration_);
  ++report_.printed;
  report_.printerUnavailable = false;
  report_.lastPrinted = path;
  report_.lastPrintedAt = ports_.timer.Now();
  report_.lastJobId = job.jobId;
  faults_.ClearKind(FaultKind::PrinterUnavailable);
  faults_.Clear(FaultKind::JobFailed, path);
  if (job.fileBytes != 0) {
    Log(LogLevel::Warning, QuotedForLog(path) + ": a Ctrl-Z (0x1A) ended its data at byte " +
                               std::to_string(job.ctrlZAt) + " of " +
                               std::to_string(job.fileBytes) +
                               "; the rest was not sent (files are read as text; --binary "
                               "sends them byte for byte)");
  }
  const std::string bytes = " (" + std::to_string(job.bytesSent) + " bytes)";
  if (settings_.deleteAfterPrinted != 0 && job.jobId != 0) {
    const long long server = ports_.jobs.ServerInstance();
    // Its number given out again: the server lost its jobs in a crash, and
    // this is no server without a job history. Not counted as a resend.
    const auto lost = lostJobs_.find(path);
    if (lost != lostJobs_.end() && job.jobId <= lost->second) resent = 0;
    if (lost != lostJobs_.end()) lostJobs_.erase(lost);
    InFlightJob& flight = state_.inFlight[path];
    flight = {
        file,       job.jobId, 0, server, resent, settings_.printerName, report_.lastPrintedAt,
        flight.uuid};
    SaveState();
    Log(LogLevel::Info, "sent " + QuotedForLog(path) + bytes + " as job " +
                            std::to_string(job.jobId) + "; deleted once it is printed");
    return JobOutcome::InFlight;
  }
  --report_.waiting;
  // A print server's job is accepted, not yet printed; a printer reached
  // directly has taken every byte.
  Log(LogLevel::Info, (job.jobId != 0 ? "accepted by " + std::string(settings_.printerName) +
                                            " as job " + std::to_string(job.jobId) + ": "
                                      : std::string("printed ")) +
                          QuotedForLog(path) + bytes);
  if (job.outcome == JobOutcome::Grew) {
    // Printed again whole rather than lose what was added.
    Log(LogLevel::Warning,
        QuotedForLog(path) + " grew while it was printed; it stays and is printed again whole");
    return JobOutcome::Grew;
  }
  ++report_.accepted;
  DeletePrinted(path, file);
  return JobOutcome::Printed;
}

JobOutcome SpoolEngine::Waits(const std::string& path, const std::string& why) {
  report_.head = path;
  report_.headWhy = why.empty() ? "its writer still has it open" : why;
  // The head of the line waiting too long is told, once.
  const std::uint64_t now = ports_.timer.Now();
  if (stuck_.path != path) {
    ClearStuck();
    stuck_ = Stuck{path, now};
  } else if (now >= stuck_.since + options_.stuckTicks &&
             faults_.Raise(FaultKind::HeldOpen, path)) {
    Log(LogLevel::Warning,
        QuotedForLog(path) + " has waited " +
            std::to_string((now - stuck_.since) / (1000 * kTicksPerMillisecond)) +
            " s: " + report_.headWhy + "; the files after it wait");
    Tell("waiting for " + path + ": " + report_.headWhy);
  }
  return JobOutcome::NotReady;
}

JobOutcome SpoolEngine::JobFailed(const std::string& path, const JobRecord& record,
                                  const JobResult& job) {
  ++report_.failed;
  report_.lastErrorAt = ports_.timer.Now();
  report_.printerUnavailable = job.outcome == JobOutcome::PrinterUnavailable;
  report_.head = path;
  report_.headWhy = job.error;
  if (StopRequested()) {
    if (job.bytesSent == 0) {
      Log(LogLevel::Warning, "stopping: the job of " + QuotedForLog(path) + " was abandoned (" +
                                 job.error + "); the file stays");
      return JobOutcome::Stopped;
    }
    // The printer may print what it has of it: the next start says so
    // before it sends the file again.
    state_.cut[path] = CutJob{
        FileAsRead(JobWriteTime(record), JobSize(record), job.identity, scanGeneration_), job.bytesSent};
    SaveState();
    Log(LogLevel::Warning, "stopping: the job of " + QuotedForLog(path) + " was cut off after " +
                               std::to_string(job.bytesSent) + " bytes (" + job.error +
                               "); the file stays, and the next start sends it again whole");
    return JobOutcome::Stopped;
  }
  if (job.outcome == JobOutcome::PrinterUnavailable) {
    const bool fresh = faults_.Raise(FaultKind::PrinterUnavailable, settings_.printerName);
    // The error picture first: the message box below waits for the user.
    Show(EngineState::Error);
    if (fresh) Tell("printer " + std::string(settings_.printerName) + " unavailable");
    ports_.status.ShowError(kOpenPrinterMessage,
                            "printer " + QuotedForLog(settings_.printerName) + ": " + job.error,
                            !fresh);
  } else if (faults_.Raise(FaultKind::JobFailed, path)) {
    Log(LogLevel::Error, "failed " + QuotedForLog(path) + " after " +
                             std::to_string(job.bytesSent) + " bytes: " + job.error);
    Tell("cannot print " + path + ": " + job.error);
  }
  if (settings_.forceDelete != 0) {
    ++report_.forceDeleted;
    Log(LogLevel::Warning, "force-deleting " + QuotedForLog(path) + " (" +
                               std::to_string(job.bytesSent) + " bytes sent)");
    if (const OpResult deleted = ports_.files.Delete(path.c_str()); !deleted)
      Log(LogLevel::Error,
          "cannot delete " + QuotedForLog(path) + " after a failed job: " + deleted.error);
  }
  return job.outcome;
}

void SpoolEngine::EndCycle(bool failed) {
  ListClear(jobs_);
  report_.undeletable = state_.undeletable.size();
  if (!failed && !faults_.AnyRaised(FaultKind::HeldOpen)) {
    EnterIdle();
  } else {
    if (failed && !StopRequested()) ports_.timer.Sleep(options_.failurePauseMs);
    EnterError();
  }
  ports_.timer.Start(settings_.pollInterval);
}

void SpoolEngine::NothingWaits() {
  report_.undeletable = state_.undeletable.size();
  if (faults_.AnyRaised(FaultKind::SearchFailed)) return;                // shown when it failed
  if (inError_ && faults_.AnyRaised(FaultKind::HeldOpen)) ClearStuck();  // the file went away
  if (inError_ && !faults_.AnyRaised(FaultKind::JobFailed) &&
      !faults_.AnyRaised(FaultKind::PrinterUnavailable))
    EnterIdle();
}

void SpoolEngine::EnterIdle() {
  Show(EngineState::Idle);
  if (!inError_) return;
  inError_ = false;
  faults_.ClearKind(FaultKind::PrinterUnavailable);
  faults_.ClearKind(FaultKind::JobFailed);
  faults_.ClearKind(FaultKind::JobStatesUnknown);
  Tell("");
  Log(LogLevel::Info, "state: idle");
}

void SpoolEngine::EnterError(const std::string& fault) {
  Show(EngineState::Error);
  if (!fault.empty()) Tell(fault);
  if (inError_) return;
  inError_ = true;
  Log(LogLevel::Error, "state: error");
}

void SpoolEngine::ClearStuck() {
  if (faults_.Clear(FaultKind::HeldOpen, stuck_.path))
    Log(LogLevel::Info, QuotedForLog(stuck_.path) + " is no longer held open");
  stuck_ = Stuck{};
}

}  // namespace druvo
