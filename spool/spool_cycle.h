// The dispatch cycle: one tick of the spool timer collects the waiting files,
// prints them oldest first, deletes the printed ones and shows the outcome.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "core/settings.h"
#include "spool/job_record.h"
#include "spool/ports.h"
#include "spool/print_job.h"

namespace druvo {

struct SpoolPorts {
  FileSystem& files;
  Spooler& spooler;
  StatusSink& status;
  SpoolTimer& timer;
};

struct EngineOptions {
  // Files written less than this long ago are left for a later tick: their
  // writer may not be done. Where the platform can tell by other means (share
  // modes on Windows), this is 0.
  std::uint64_t settleTicks = 0;
  int failurePauseMs = 1000;
};

class SpoolEngine {
 public:
  SpoolEngine(const SpoolSettings& settings, RecordList& jobs, SpoolPorts ports,
              EngineOptions options = {});
  SpoolEngine(const SpoolEngine&) = delete;
  SpoolEngine& operator=(const SpoolEngine&) = delete;

  // Appends one record per eligible file and returns how many.
  int CollectJobs();

  // 1 when every collected file was printed (or there was nothing to do), 0
  // when a job failed.
  int RunSpoolCycle();

  // Set from a signal handler: the cycle ends after the current job.
  void SetStopFlag(const volatile std::sig_atomic_t* flag) { stopFlag_ = flag; }

  bool InError() const { return inError_; }

 private:
  struct Remembered {
    std::uint64_t writeTime;
    std::uint64_t size;
    unsigned long seen;
  };

  bool StopRequested() const { return stopFlag_ != nullptr && *stopFlag_ != 0; }
  bool IsSettling(std::uint64_t writeTime, std::uint64_t now) const;
  void ReportFault(const std::string& line);
  void DeleteAfterFailure(const char* path);

  const SpoolSettings& settings_;
  RecordList& jobs_;
  SpoolPorts ports_;
  EngineOptions options_;
  PrintBuffers buffers_;
  const volatile std::sig_atomic_t* stopFlag_ = nullptr;

  // Printed files whose deletion failed: not printed again while unchanged.
  std::map<std::string, Remembered> undeletable_;
  unsigned long scanGeneration_ = 0;
  std::set<std::string> reportedLongNames_;

  bool inError_ = false;
  std::string lastFault_;    // logged once until the state changes
  std::string searchFault_;  // likewise for a folder that cannot be searched
};

}  // namespace druvo
