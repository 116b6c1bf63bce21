#include "spool/spool_cycle.h"

#include <cstring>
#include <utility>

#include "core/text_helpers.h"

namespace druvo {

namespace {

std::string Seconds(std::uint64_t ticks) {
  return std::to_string(ticks / (1000 * kTicksPerMillisecond));
}

}  // namespace

SpoolEngine::SpoolEngine(const SpoolSettings& settings, RecordList& jobs, SpoolPorts ports,
                         EngineOptions options)
    : settings_(settings), jobs_(jobs), ports_(ports), options_(options) {
  LoadState();
}

bool SpoolEngine::IsSettling(std::uint64_t writeTime, std::uint64_t now) const {
  // A stamp far in the future (a producer with a wrong clock) must not hold
  // a receipt back for good, so only the last moments count as settling.
  const std::uint64_t slack = 2000 * kTicksPerMillisecond;
  return writeTime + options_.settleTicks > now && writeTime <= now + slack;
}

bool SpoolEngine::NewFault(FaultKind kind, const std::string& subject) {
  if (kind == lastFault_ && subject == lastFaultSubject_) return false;
  lastFault_ = kind;
  lastFaultSubject_ = subject;
  return true;
}

void SpoolEngine::LoadState() {
  if (ports_.state == nullptr) return;
  std::string text;
  const std::string where = QuotedForLog(ports_.state->Where());
  if (OpResult r = ports_.state->Load(&text); !r) {
    ports_.status.Log(LogLevel::Warning, "cannot read the state file " + where + ": " + r.error +
                                             "; starting with nothing remembered");
    return;
  }
  if (text.empty()) return;
  std::string why;
  if (!ParseState(text, &state_, &why)) {
    ports_.status.Log(LogLevel::Warning, "the state file " + where + " is damaged (" + why +
                                             "); starting with nothing remembered");
    return;
  }
  saved_ = state_;
  ports_.status.Log(LogLevel::Info,
                    "state file " + where + ": " + std::to_string(state_.undeletable.size()) +
                        " printed file(s) still to delete, " +
                        std::to_string(state_.inFlight.size()) + " job(s) in flight");
}

void SpoolEngine::SaveState() {
  if (ports_.state == nullptr || state_ == saved_) return;
  if (OpResult r = ports_.state->Save(FormatState(state_)); !r) {
    // Printing goes on; only a restart would forget.
    if (NewFault(FaultKind::StateNotSaved, ports_.state->Where())) {
      ports_.status.Log(LogLevel::Error, "cannot save the state file " +
                                             QuotedForLog(ports_.state->Where()) + ": " + r.error);
    }
    return;
  }
  saved_ = state_;
}

int SpoolEngine::CollectJobs() {
  FileSystem& files = ports_.files;
  const char separator = files.Separator();

  char prefix[kSettingsTextSize];
  std::memcpy(prefix, settings_.fileSource, sizeof prefix);
  prefix[sizeof prefix - 1] = '\0';
  CutToFolder(prefix, separator);
  if (std::strchr(prefix, separator) == nullptr) {
    // A bare pattern such as '*.PRN' names files in the working folder; a
    // drive-relative one such as 'C:*.*' in that drive's current folder.
    const bool driveRelative = separator == '\\' && prefix[0] != '\0' && prefix[1] == ':';
    prefix[driveRelative ? 2 : 0] = '\0';
  }
  const std::size_t prefixLength = std::strlen(prefix);
  prefixLength_ = prefixLength;
  const std::size_t maxPath = files.MaxPathLength();
  std::size_t settling = 0;

  const std::uint64_t now = options_.settleTicks != 0 ? ports_.timer.Now() : 0;
  const unsigned long generation = ++scanGeneration_;
  int count = 0;
  std::string joined;
  retryDeletes_.clear();

  const OpResult searched = files.Search(settings_.fileSource, [&](const DirEntry& entry) {
    if (entry.attributes != kAttrArchive || entry.name[0] == '\0') return;
    if (entry.nameLost) {
      if (reportedNames_.insert(entry.name).second) {
        ports_.status.Log(LogLevel::Warning,
                          "cannot print " + QuotedForLog(entry.name) +
                              ": its name cannot be converted to a path; rename it");
      }
      return;
    }
    // A file closed since its last write is ready at once; one the events
    // know nothing about gets the settle time.
    const WriteState hint =
        ports_.hints != nullptr ? ports_.hints->StateOf(entry.name) : WriteState::Unknown;
    if ((hint == WriteState::Unknown && options_.settleTicks != 0 &&
         IsSettling(entry.writeTime, now)) ||
        (hint == WriteState::Arrived && entry.size == 0)) {
      ++settling;
      return;
    }
    const std::size_t length = prefixLength + std::strlen(entry.name);
    if (length > maxPath || length + 1 > kJobPathCapacity) {
      if (reportedNames_.insert(entry.name).second) {
        ports_.status.Log(LogLevel::Warning, "skipped " + QuotedForLog(entry.name) +
                                                 ": its path is longer than " +
                                                 std::to_string(maxPath) + " characters");
      }
      return;
    }
    if (!state_.undeletable.empty() || !state_.inFlight.empty() || !state_.held.empty()) {
      joined.assign(prefix).append(entry.name);
      auto kept = state_.held.find(joined);
      if (kept != state_.held.end()) {
        if (StillTheSame(joined, entry, kept->second.writeTime, kept->second.size,
                         kept->second.identity)) {
          kept->second.seen = generation;  // its job was cancelled: the operator decides
          return;
        }
        state_.held.erase(kept);
      }
      auto printed = state_.undeletable.find(joined);
      if (printed != state_.undeletable.end()) {
        if (StillTheSame(joined, entry, printed->second.writeTime, printed->second.size,
                         printed->second.identity)) {
          printed->second.seen = generation;
          retryDeletes_.push_back(joined);
          return;
        }
        state_.undeletable.erase(printed);  // rewritten since: a new receipt
      }
      auto flying = state_.inFlight.find(joined);
      if (flying != state_.inFlight.end()) {
        if (StillTheSame(joined, entry, flying->second.writeTime, flying->second.size,
                         flying->second.identity)) {
          flying->second.seen = generation;  // the walk looks after it
        } else {
          state_.inFlight.erase(flying);
        }
      }
    }
    if (AppendJob(jobs_, prefix, entry.name, entry.writeTime, entry.size)) ++count;
  });

  if (!searched) {
    if (searched.error != searchFault_) {
      searchFault_ = searched.error;
      ports_.status.Log(LogLevel::Error, "cannot search " + QuotedForLog(settings_.fileSource) +
                                             ": " + searched.error);
    }
    ListClear(jobs_);
    return 0;
  }
  if (!searchFault_.empty()) {
    searchFault_.clear();
    ports_.status.Log(LogLevel::Info, "searching " + QuotedForLog(settings_.fileSource) + " again");
  }
  // Whatever is no longer in the folder needs no remembering.
  for (auto it = state_.undeletable.begin(); it != state_.undeletable.end();) {
    it = it->second.seen == generation ? std::next(it) : state_.undeletable.erase(it);
  }
  for (auto it = state_.inFlight.begin(); it != state_.inFlight.end();) {
    it = it->second.seen == generation ? std::next(it) : state_.inFlight.erase(it);
  }
  for (auto it = state_.held.begin(); it != state_.held.end();) {
    it = it->second.seen == generation ? std::next(it) : state_.held.erase(it);
  }
  RetryDeletes(retryDeletes_);
  SaveState();
  quiet_ = count == 0 && settling == 0;
  return count;
}

void SpoolEngine::RetryDeletes(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (!ports_.files.Delete(path.c_str())) continue;  // logged at the first failure
    state_.undeletable.erase(path);
    ports_.status.Log(LogLevel::Info, "deleted " + QuotedForLog(path) + " (printed earlier)");
  }
}

bool SpoolEngine::StillTheSame(const std::string& path, const DirEntry& entry,
                               std::uint64_t writeTime, std::uint64_t size,
                               const FileIdentity& identity) {
  if (!identity.Known()) return entry.writeTime == writeTime && entry.size == size;
  FileIdentity now;
  bool gone = false;
  return ports_.files.Identify(path.c_str(), &now, &gone) && !gone && now == identity;
}

void SpoolEngine::DeletePrinted(const char* path, std::uint64_t writeTime, std::uint64_t size,
                                const FileIdentity& identity) {
  if (identity.Known()) {
    // The name may have been given to a new receipt since the file was read
    // (removed and made again, renamed over, rewritten in place): that one
    // stays and is printed in its turn.
    FileIdentity now;
    bool gone = false;
    if (ports_.files.Identify(path, &now, &gone) && !gone && now != identity) {
      ports_.status.Log(LogLevel::Warning, QuotedForLog(path) +
                                               " was replaced while it was printed; the new "
                                               "file stays and is printed in its turn");
      return;
    }
    if (gone) {
      ports_.status.Log(LogLevel::Warning,
                        QuotedForLog(path) + " was removed by someone else after printing");
      return;
    }
  }
  const OpResult deleted = ports_.files.Delete(path);
  if (deleted) return;
  state_.undeletable[path] = RememberedFile{writeTime, size, identity, scanGeneration_};
  SaveState();
  ports_.status.Log(
      LogLevel::Error,
      "cannot delete " + QuotedForLog(path) + " after printing: " + deleted.error +
          "; trying again at every cycle, and it is not printed again while unchanged");
}

void SpoolEngine::DeleteAfterFailure(const char* path) {
  const OpResult deleted = ports_.files.Delete(path);
  if (!deleted) {
    ports_.status.Log(LogLevel::Error, "cannot delete " + QuotedForLog(path) +
                                           " after a failed job: " + deleted.error);
  }
}

void SpoolEngine::NoteNotReady(const char* path, const std::string& why) {
  const std::uint64_t now = ports_.timer.Now();
  if (stuck_.path != path) {
    ClearStuck();
    stuck_.path = path;
    stuck_.since = now;
    return;
  }
  if (stuck_.reported || now < stuck_.since + options_.stuckTicks) return;
  stuck_.reported = true;
  ports_.status.Log(LogLevel::Warning, QuotedForLog(path) + " has waited " +
                                           Seconds(now - stuck_.since) + " s: " + why +
                                           "; the files after it wait");
  ports_.status.ShowFault("waiting for " + std::string(path) + ": " + why);
}

void SpoolEngine::ClearStuck() {
  if (stuck_.reported) {
    ports_.status.Log(LogLevel::Info, QuotedForLog(stuck_.path) + " is no longer held open");
  }
  stuck_ = Stuck{};
}

void SpoolEngine::EnterIdle() {
  ports_.status.ShowIcon(settings_.idleIcon);
  if (!inError_) return;
  inError_ = false;
  lastFault_ = FaultKind::None;
  lastFaultSubject_.clear();
  ports_.status.ShowFault("");
  ports_.status.Log(LogLevel::Info, "state: idle");
}

int SpoolEngine::RunSpoolCycle() {
  const int count = CollectJobs();
  report_.waiting = static_cast<std::size_t>(count);
  report_.head.clear();
  report_.headWhy.clear();
  if (count == 0) {
    if (!searchFault_.empty()) {
      // Nothing can be printed from a folder that cannot be searched: that
      // is an error, never "all is well".
      if (!searchShown_) {
        searchShown_ = true;
        inError_ = true;
        ports_.status.ShowIcon(settings_.errorIcon);
        ports_.status.ShowFault("cannot search " + std::string(settings_.fileSource));
        ports_.status.Log(LogLevel::Error, "state: error");
      }
      return 1;
    }
    if (stuck_.reported || searchShown_) {  // the stuck file went away; the folder is back
      ClearStuck();
      searchShown_ = false;
      EnterIdle();
    }
    return 1;
  }

  ports_.status.ShowIcon(settings_.busyIcon);
  ports_.timer.Stop();
  if (count > 1) SortJobsByWriteTime(jobs_);
  report_.oldest = JobWriteTime(*static_cast<const JobRecord*>(ListFirst(jobs_)));

  std::map<int, JobStatus> states;
  long long server = 0;
  const bool statesKnown = QueryInFlight(&states, &server);

  int result = 1;
  std::string notReady;
  for (void* payload = ListFirst(jobs_); payload != nullptr; payload = ListNext(payload)) {
    if (StopRequested()) break;
    auto* record = static_cast<JobRecord*>(payload);
    if (record->path[0] == '\0') continue;
    int resent = 0;
    if (state_.inFlight.count(record->path) != 0) {
      const InFlightStep step = HandleInFlight(record->path, states, statesKnown, server, &resent);
      if (step == InFlightStep::Done) --report_.waiting;
      if (step != InFlightStep::Resend) continue;
      ++report_.retried;
    }
    if (InFlightFull()) break;  // the rest wait until some jobs are printed
    // Written to since its last close: its writer is not done, whoever it is.
    const bool writing = ports_.hints != nullptr && std::strlen(record->path) >= prefixLength_ &&
                         ports_.hints->StateOf(record->path + prefixLength_) == WriteState::Writing;
    JobResult job;
    if (writing) {
      job.outcome = JobOutcome::NotReady;
    } else {
      job =
          PrintFileRaw(record->path, settings_.printerName, ports_.files, ports_.spooler, buffers_);
    }
    if (job.outcome == JobOutcome::Gone) {
      --report_.waiting;
      continue;
    }
    if (job.outcome == JobOutcome::NotReady) {  // keep the order: try again next tick
      notReady = record->path;
      report_.head = record->path;
      report_.headWhy = job.error.empty() ? "its writer still has it open" : job.error;
      NoteNotReady(record->path, report_.headWhy);
      break;
    }
    if (job.outcome == JobOutcome::Printed) {
      ++report_.printed;
      if (job.fileBytes != 0) {
        ports_.status.Log(LogLevel::Warning,
                          QuotedForLog(record->path) + ": a Ctrl-Z (0x1A) ended its data at byte " +
                              std::to_string(job.ctrlZAt) + " of " +
                              std::to_string(job.fileBytes) +
                              "; the rest was not sent (files are read as text)");
      }
      if (settings_.deleteAfterPrinted == 0 || job.jobId == 0) --report_.waiting;
      report_.lastPrinted = record->path;
      report_.lastPrintedAt = ports_.timer.Now();
      report_.lastJobId = job.jobId;
      if (settings_.deleteAfterPrinted != 0 && job.jobId != 0) {
        InFlightJob& flying = state_.inFlight[record->path];
        flying = InFlightJob{job.jobId,
                             0,
                             ports_.spooler.ServerInstance(),
                             resent,
                             settings_.printerName,
                             JobWriteTime(*record),
                             JobSize(*record),
                             job.identity,
                             scanGeneration_};
        flying.sentAt = ports_.timer.Now();
        SaveState();
        ports_.status.Log(LogLevel::Info, "sent " + QuotedForLog(record->path) + " (" +
                                              std::to_string(job.bytesSent) + " bytes) as job " +
                                              std::to_string(job.jobId) +
                                              "; deleted once it is printed");
      } else {
        // A print server's job is accepted, not yet printed; a printer
        // reached directly has taken every byte.
        ports_.status.Log(LogLevel::Info,
                          (job.jobId != 0 ? "accepted by " + std::string(settings_.printerName) +
                                                " as job " + std::to_string(job.jobId) + ": "
                                          : std::string("printed ")) +
                              QuotedForLog(record->path) + " (" + std::to_string(job.bytesSent) +
                              " bytes)");
        if (job.grewMeanwhile) {
          // Printed again whole rather than lose what was added.
          ports_.status.Log(LogLevel::Warning, QuotedForLog(record->path) +
                                                   " grew while it was printed; it stays and "
                                                   "is printed again whole");
        } else {
          DeletePrinted(record->path, JobWriteTime(*record), JobSize(*record), job.identity);
        }
      }
      continue;
    }

    result = 0;
    ++report_.failed;
    report_.head = record->path;
    report_.headWhy = job.error;
    if (StopRequested()) {
      ports_.status.Log(LogLevel::Warning, "stopping: the job of " + QuotedForLog(record->path) +
                                               " was abandoned (" + job.error +
                                               "); the file stays");
      break;
    }
    if (job.printerUnavailable) {
      const std::string detail =
          "printer " + QuotedForLog(settings_.printerName) + ": " + job.error;
      const bool fresh = NewFault(FaultKind::PrinterUnavailable, settings_.printerName);
      // The error picture first: the message box below waits for the user.
      ports_.status.ShowIcon(settings_.errorIcon);
      if (fresh)
        ports_.status.ShowFault("printer " + std::string(settings_.printerName) + " unavailable");
      ports_.status.ShowError(kOpenPrinterMessage, detail, !fresh);
    } else if (NewFault(FaultKind::JobFailed, record->path)) {
      ports_.status.Log(LogLevel::Error, "failed " + QuotedForLog(record->path) + " after " +
                                             std::to_string(job.bytesSent) +
                                             " bytes: " + job.error);
      ports_.status.ShowFault("cannot print " + std::string(record->path) + ": " + job.error);
    }
    if (settings_.forceDelete != 0) {
      ports_.status.Log(LogLevel::Warning, "force-deleting " + QuotedForLog(record->path) + " (" +
                                               std::to_string(job.bytesSent) + " bytes sent)");
      DeleteAfterFailure(record->path);
    }
    break;
  }
  if (!stuck_.path.empty() && notReady != stuck_.path) ClearStuck();

  ListClear(jobs_);
  if (result == 1 && !stuck_.reported) {
    searchShown_ = false;
    EnterIdle();
  } else {
    if (result == 0 && !StopRequested()) ports_.timer.Sleep(options_.failurePauseMs);
    ports_.status.ShowIcon(settings_.errorIcon);
    if (!inError_) {
      inError_ = true;
      ports_.status.Log(LogLevel::Error, "state: error");
    }
  }
  ports_.timer.Start(settings_.pollInterval);
  return result;
}

}  // namespace druvo
