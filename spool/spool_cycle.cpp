#include "spool/spool_cycle.h"

#include <cstring>
#include <utility>

#include "core/text_helpers.h"

namespace druvo {

namespace {

std::string Quoted(const char* text) { return std::string("\"") + text + "\""; }

}  // namespace

SpoolEngine::SpoolEngine(const SpoolSettings& settings, RecordList& jobs, SpoolPorts ports,
                         EngineOptions options)
    : settings_(settings), jobs_(jobs), ports_(ports), options_(options) {}

bool SpoolEngine::IsSettling(std::uint64_t writeTime, std::uint64_t now) const {
  // A stamp far in the future (a producer with a wrong clock) must not hold
  // a receipt back for good, so only the last moments count as settling.
  const std::uint64_t slack = 2000 * kTicksPerMillisecond;
  return writeTime + options_.settleTicks > now && writeTime <= now + slack;
}

void SpoolEngine::ReportFault(const std::string& line) {
  if (line == lastFault_) return;
  lastFault_ = line;
  ports_.status.Log(line);
}

int SpoolEngine::CollectJobs() {
  FileSystem& files = ports_.files;
  const char separator = files.Separator();

  char prefix[kSettingsTextSize];
  std::memcpy(prefix, settings_.fileSource, sizeof prefix);
  prefix[sizeof prefix - 1] = '\0';
  CutToFolder(prefix, separator);
  // A bare pattern such as '*.PRN' names files in the working folder.
  if (std::strchr(prefix, separator) == nullptr) prefix[0] = '\0';
  const std::size_t prefixLength = std::strlen(prefix);
  const std::size_t maxPath = files.MaxPathLength();

  const std::uint64_t now = options_.settleTicks != 0 ? ports_.timer.Now() : 0;
  const unsigned long generation = ++scanGeneration_;
  int count = 0;
  std::string joined;

  const OpResult searched = files.Search(settings_.fileSource, [&](const DirEntry& entry) {
    if (entry.attributes != kAttrArchive || entry.name[0] == '\0') return;
    if (options_.settleTicks != 0 && IsSettling(entry.writeTime, now)) return;
    const std::size_t length = prefixLength + std::strlen(entry.name);
    if (length > maxPath || length + 1 > kJobPathCapacity) {
      if (reportedLongNames_.insert(entry.name).second) {
        ports_.status.Log("skipped " + Quoted(entry.name) + ": its path is longer than " +
                          std::to_string(maxPath) + " characters");
      }
      return;
    }
    if (!undeletable_.empty()) {
      joined.assign(prefix).append(entry.name);
      auto it = undeletable_.find(joined);
      if (it != undeletable_.end()) {
        if (it->second.writeTime == entry.writeTime && it->second.size == entry.size) {
          it->second.seen = generation;
          return;
        }
        undeletable_.erase(it);  // rewritten since: a new receipt
      }
    }
    if (AppendJob(jobs_, prefix, entry.name, entry.writeTime, entry.size)) ++count;
  });

  if (!searched) {
    if (searched.error != searchFault_) {
      searchFault_ = searched.error;
      ports_.status.Log("cannot search " + Quoted(settings_.fileSource) + ": " + searched.error);
    }
    ListClear(jobs_);
    return 0;
  }
  if (!searchFault_.empty()) {
    searchFault_.clear();
    ports_.status.Log("searching " + Quoted(settings_.fileSource) + " again");
  }
  for (auto it = undeletable_.begin(); it != undeletable_.end();) {
    it = it->second.seen == generation ? std::next(it) : undeletable_.erase(it);
  }
  return count;
}

void SpoolEngine::DeleteAfterFailure(const char* path) {
  const OpResult deleted = ports_.files.Delete(path);
  if (!deleted) ports_.status.Log("cannot delete " + Quoted(path) + " after a failed job: " + deleted.error);
}

int SpoolEngine::RunSpoolCycle() {
  const int count = CollectJobs();
  if (count == 0) return 1;

  ports_.status.ShowIcon(settings_.busyIcon);
  ports_.timer.Stop();
  if (count > 1) SortJobsByWriteTime(jobs_);

  int result = 1;
  for (void* payload = ListFirst(jobs_); payload != nullptr; payload = ListNext(payload)) {
    if (StopRequested()) break;
    auto* record = static_cast<JobRecord*>(payload);
    if (IsBlank(record->path)) continue;
    const JobResult job =
        PrintFileRaw(record->path, settings_.printerName, ports_.files, ports_.spooler, buffers_);
    if (job.outcome == JobOutcome::Gone) continue;
    if (job.outcome == JobOutcome::NotReady) break;  // keep the order: try again next tick
    if (job.outcome == JobOutcome::Printed) {
      ports_.status.Log("printed " + Quoted(record->path) + " (" + std::to_string(job.bytesSent) +
                        " bytes)");
      const OpResult deleted = ports_.files.Delete(record->path);
      if (!deleted) {
        undeletable_[record->path] = Remembered{JobWriteTime(*record), JobSize(*record), scanGeneration_};
        ports_.status.Log("cannot delete " + Quoted(record->path) + " after printing: " +
                          deleted.error + "; it is not printed again while it stays unchanged");
      }
      continue;
    }

    result = 0;
    if (job.printerUnavailable) {
      const std::string detail = "printer " + Quoted(settings_.printerName) + ": " + job.error;
      const bool repeated = lastFault_ == detail;
      lastFault_ = detail;
      ports_.status.ShowError(kOpenPrinterMessage, detail, repeated);
    } else {
      ReportFault("failed " + Quoted(record->path) + " after " + std::to_string(job.bytesSent) +
                  " bytes: " + job.error);
    }
    if (settings_.forceDelete != 0) {
      ports_.status.Log("force-deleting " + Quoted(record->path) + " (" +
                        std::to_string(job.bytesSent) + " bytes sent)");
      DeleteAfterFailure(record->path);
    }
    break;
  }

  ListClear(jobs_);
  if (result == 1) {
    ports_.status.ShowIcon(settings_.idleIcon);
    if (inError_) {
      inError_ = false;
      lastFault_.clear();
      ports_.status.Log("state: idle");
    }
  } else {
    ports_.timer.Sleep(options_.failurePauseMs);
    ports_.status.ShowIcon(settings_.errorIcon);
    if (!inError_) {
      inError_ = true;
      ports_.status.Log("state: error");
    }
  }
  ports_.timer.Start(settings_.pollInterval);
  return result;
}

}  // namespace druvo
