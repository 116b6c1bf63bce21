#include "spool/spool_cycle.h"

#include <cstring>
#include <utility>

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
      folder_(DropFolder::Of(settings.fileSource, ports.files.Separator())) {
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

void SpoolEngine::SettleClaims() {
  std::vector<std::string> told;
  ports_.files.SettleClaims(folder_, &told);
  for (const std::string& line : told) Log(LogLevel::Warning, line);
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

// ---- The scan -------------------------------------------------------------

int SpoolEngine::CollectJobs() {
  const std::uint64_t now = options_.settleTicks != 0 ? ports_.timer.Now() : 0;
  ++scanGeneration_;
  int count = 0;
  std::size_t settling = 0;
  std::string path;
  retryDeletes_.clear();
  if (ports_.files.ClaimsLeft()) SettleClaims();
  const OpResult searched = ports_.files.Search(folder_, [&](const DirEntry& entry) {
    if (!Eligible(entry, now, &settling)) return;
    if (!state_.undeletable.empty() || !state_.inFlight.empty() || !state_.held.empty() ||
        !state_.cut.empty()) {
      path.assign(folder_.prefix).append(entry.name);
      if (!Reconcile(path, entry)) return;
    }
    if (AppendJob(jobs_, folder_.prefix.c_str(), entry.name, entry.writeTime, entry.size)) ++count;
  });
  if (SearchFailed(searched)) return 0;
  ForgetUnseen();
  RetryDeletes(retryDeletes_);
  SaveState();
  quiet_ = count == 0 && settling == 0;
  return count;
}

bool SpoolEngine::Eligible(const DirEntry& entry, std::uint64_t now, std::size_t* settling) {
  if (entry.attributes != kAttrArchive || entry.name[0] == '\0') return false;
  const auto unprintable = [&](const std::string& line) {
    if (faults_.Raise(FaultKind::UnprintableName, entry.name)) Log(LogLevel::Warning, line);
    return false;
  };
  if (entry.nameLost)
    return unprintable("cannot print " + QuotedForLog(entry.name) +
                       ": its name cannot be converted to a path; rename it");
  // A file closed since its last write is ready at once; one the events know
  // nothing about gets the settle time. A stamp far in the future (a producer
  // with a wrong clock) must not hold a receipt back for good, so only the
  // last moments count as settling.
  const WriteState hint =
      ports_.hints != nullptr ? ports_.hints->StateOf(entry.name) : WriteState::Unknown;
  const bool settlingNow = options_.settleTicks != 0 &&
                           entry.writeTime + options_.settleTicks > now &&
                           entry.writeTime <= now + 2000 * kTicksPerMillisecond;
  if ((hint == WriteState::Unknown && settlingNow) ||
      (hint == WriteState::Arrived && entry.size == 0)) {
    ++*settling;
    return false;
  }
  const std::size_t maxPath = ports_.files.MaxPathLength();
  const std::size_t length = folder_.prefix.size() + std::strlen(entry.name);
  if (length > maxPath || length + 1 > kJobPathCapacity)
    return unprintable("skipped " + QuotedForLog(entry.name) + ": its path is longer than " +
                       std::to_string(maxPath) + " characters");
  return true;
}

bool SpoolEngine::Reconcile(const std::string& path, const DirEntry& entry) {
  // What is remembered of the file is seen while it is the same file, and
  // forgotten once it was written anew: a new receipt.
  const auto same = [&](auto& remembered) {
    auto it = remembered.find(path);
    if (it == remembered.end()) return false;
    if (StillTheSame(path, entry, it->second)) {
      it->second.seen = scanGeneration_;
      return true;
    }
    remembered.erase(it);
    return false;
  };
  if (same(state_.held)) return false;  // its job was cancelled: the operator decides
  if (same(state_.undeletable)) {
    retryDeletes_.push_back(path);
    return false;
  }
  same(state_.inFlight);  // the walk looks after it
  same(state_.cut);       // printed again, with a line
  return true;
}

void SpoolEngine::ForgetUnseen() {
  // Whatever is no longer in the folder needs no remembering.
  auto forget = [this](auto& remembered) {
    for (auto it = remembered.begin(); it != remembered.end();)
      it = it->second.seen == scanGeneration_ ? std::next(it) : remembered.erase(it);
  };
  forget(state_.undeletable);
  forget(state_.inFlight);
  forget(state_.held);
  forget(state_.cut);
}

bool SpoolEngine::SearchFailed(const OpResult& searched) {
  const std::string& source = settings_.fileSource;
  if (searched) {
    if (faults_.Clear(FaultKind::SearchFailed, source))
      Log(LogLevel::Info, "searching " + QuotedForLog(source) + " again");
    return false;
  }
  if (faults_.Raise(FaultKind::SearchFailed, source)) {
    Log(LogLevel::Error, "cannot search " + QuotedForLog(source) + ": " + searched.error);
    // Nothing can be printed from a folder that cannot be searched: that is
    // an error, never "all is well".
    EnterError("cannot search " + source);
  }
  ListClear(jobs_);
  return true;
}

void SpoolEngine::RetryDeletes(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    auto it = state_.undeletable.find(path);
    std::string error;
    const DeleteOutcome outcome =
        ports_.files.DeleteIfSame(path.c_str(), it->second.identity, &error);
    if (outcome == DeleteOutcome::Failed) continue;  // logged at the first failure
    state_.undeletable.erase(it);
    if (outcome == DeleteOutcome::Deleted)
      Log(LogLevel::Info, "deleted " + QuotedForLog(path) + " (printed earlier)");
    else if (outcome == DeleteOutcome::Replaced)
      Log(LogLevel::Warning, QuotedForLog(path) + " was written anew; it is printed in its turn");
  }
}

bool SpoolEngine::StillTheSame(const std::string& path, const DirEntry& entry,
                               RememberedFile& kept) {
  if (!kept.identity.Known()) return entry.writeTime == kept.writeTime && entry.size == kept.size;
  FileIdentity now;
  bool gone = false;
  if (!ports_.files.Identify(path.c_str(), &now, &gone) || gone || !now.SameFile(kept.identity))
    return false;
  // Unchanged since it was last looked at. A rewrite within the same second
  // on a file system with 1-second times also looks unchanged here; the
  // delete reads the bytes and keeps such a file.
  if (now.changeTime == kept.identity.changeTime) return true;
  // Times, mode, owner or an attribute changed, or the bytes: they decide.
  if (kept.identity.content == 0) return false;  // remembered by an older version
  std::uint64_t digest = 0;
  if (!ports_.files.DigestOf(path.c_str(), &digest) || digest != kept.identity.content)
    return false;
  kept.identity.changeTime = now.changeTime;  // read once per change
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
  if (settings_.deleteAfterPrinted != 0 && !RecordBeforeSending(path, record, resent))
    return Waits(path, "the state file cannot be written; nothing is sent until it can");
  const JobResult job =
      PrintFileRaw(path.c_str(), settings_.printerName, ports_.files, ports_.spooler, buffers_,
                   settings_.byteForByte != 0, &ports_.status);
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
  const RememberedFile file{JobWriteTime(record), JobSize(record), job.identity, scanGeneration_};
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
        {JobWriteTime(record), JobSize(record), job.identity, scanGeneration_}, job.bytesSent};
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

// ---- Deletes and waits ----------------------------------------------------

void SpoolEngine::DeletePrinted(const std::string& path, const RememberedFile& printed) {
  // The name may have been given to a new receipt since the file was read
  // (removed and made again, renamed over, rewritten in place): that one
  // stays and is printed in its turn.
  std::string error;
  switch (ports_.files.DeleteIfSame(path.c_str(), printed.identity, &error)) {
    case DeleteOutcome::Deleted:
      return;
    case DeleteOutcome::Replaced:
      Log(LogLevel::Warning, QuotedForLog(path) +
                                 " was replaced while it was printed; the new "
                                 "file stays and is printed in its turn" +
                                 (error.empty() ? std::string() : "; the printed one: " + error));
      return;
    case DeleteOutcome::Gone:
      Log(LogLevel::Warning, QuotedForLog(path) + " was removed by someone else after printing");
      return;
    case DeleteOutcome::Failed:
      break;
  }
  state_.undeletable[path] = printed;
  state_.undeletable[path].seen = scanGeneration_;
  SaveState();
  Log(LogLevel::Error,
      "cannot delete " + QuotedForLog(path) + " after printing: " + error +
          "; trying again at every cycle, and it is not printed again while unchanged");
}

void SpoolEngine::ClearStuck() {
  if (faults_.Clear(FaultKind::HeldOpen, stuck_.path))
    Log(LogLevel::Info, QuotedForLog(stuck_.path) + " is no longer held open");
  stuck_ = Stuck{};
}

}  // namespace druvo
