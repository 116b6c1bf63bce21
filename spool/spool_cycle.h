// The dispatch cycle: one tick of the spool timer collects the waiting files,
// prints them oldest first, deletes the printed ones and shows the outcome.
// A file's route, one file a step: scan.cpp finds it; spool_cycle.cpp walks
// the files in order and print_job.cpp sends one; printed_mode.cpp follows
// its job until the printer or the server says how it ended; deletes.cpp
// deletes it.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/settings.h"
#include "spool/fault_log.h"
#include "spool/job_record.h"
#include "spool/ports.h"
#include "spool/print_job.h"
#include "spool/spool_state.h"
#include "spool/status_report.h"

namespace druvo {

struct SpoolPorts {
  FileSystem& files;
  Spooler& spooler;
  JobTracker& jobs;  // where what was handed over stands
  StatusSink& status;
  SpoolTimer& timer;
  StateStore* state = nullptr;  // none: nothing survives a restart
  // Change notifications on what each writer is doing; none: every file is
  // judged by the settle time and the file system's own check.
  const WriteHints* hints = nullptr;
};

struct EngineOptions {
  // Files written less than this long ago are left for a later tick: their
  // writer may not be done. Where the platform can tell by other means (share
  // modes on Windows), this is 0.
  std::uint64_t settleTicks = 0;
  int failurePauseMs = 1000;
  // A file whose writer keeps it open this long is reported as stuck; so is
  // a queue that holds a job this long.
  std::uint64_t stuckTicks = 10000 * kTicksPerMillisecond;
  // With files deleted once printed: jobs in flight at most (well below a
  // print server's job limit, so that each completion is seen before the
  // server could forget it), and how often their states are asked.
  std::size_t maxInFlight = 100;
  std::uint64_t jobQueryTicks = 1000 * kTicksPerMillisecond;
};

class SpoolEngine {
 public:
  SpoolEngine(const SpoolSettings& settings, RecordList& jobs, SpoolPorts ports,
              EngineOptions options = {});
  SpoolEngine(const SpoolEngine&) = delete;
  SpoolEngine& operator=(const SpoolEngine&) = delete;

  // The scan: appends one record per eligible file and returns how many.
  // What is remembered across restarts is brought in line with the folder.
  int CollectJobs();

  // Prints what waits, oldest first, and ends in idle or error (InError).
  void RunSpoolCycle();

  // Stopping: settles the jobs in flight whose outcome is known now (a
  // printer's confirmations), sending nothing. Returns how many are left.
  std::size_t SettleInFlight();
  // At a stop: waits, bounded, for the printer to confirm the receipts it
  // has (wait() waits a little for its replies), so that the next start
  // need not settle them. How many are left unconfirmed.
  std::size_t AwaitConfirmations(const std::function<void()>& wait, long long quietMs,
                                 long long mostMs);

  // Set from a signal handler or another thread: the cycle ends after the
  // current job.
  void SetStopFlag(const volatile std::sig_atomic_t* flag) { stopFlag_ = flag; }

  bool InError() const { return inError_; }
  // True when the last cycle found nothing waiting, settling or in flight:
  // until the folder changes there is nothing to do.
  bool Quiet() const { return quiet_ && !inError_; }
  const SpoolState& State() const { return state_; }
  const DropFolder& Folder() const { return folder_; }
  // What waits and what was printed, for the status report.
  EngineReport& Report() { return report_; }

 private:
  struct Stuck {
    std::string path;
    std::uint64_t since = 0;
  };
  // How the jobs in flight stand, as the server said at this cycle's start.
  struct Flights {
    bool known = false;
    std::map<int, JobStatus> states;
    long long server = 0;
  };

  bool StopRequested() const { return stopFlag_ != nullptr && *stopFlag_ != 0; }
  void Log(LogLevel level, const std::string& line) { ports_.status.Log(level, line); }
  // The state and the fault, kept in the report and shown.
  void Show(EngineState state);
  void Tell(const std::string& fault);
  // Scan.
  bool Eligible(const DirEntry& entry, std::uint64_t now, std::size_t* settling);
  // Whether a file the engine remembers is to be printed now.
  bool Reconcile(const std::string& path, const DirEntry& entry);
  // A file listed but not to be printed now is still remembered.
  void StillListed(const std::string& path);
  void ForgetUnseen();
  bool SearchFailed(const OpResult& searched);
  // The walk.
  JobOutcome PrintOne(const JobRecord& record, const Flights& flights);
  JobOutcome HandedOver(const std::string& path, const JobRecord& record, const JobResult& job,
                        int resent);
  JobOutcome Waits(const std::string& path, const std::string& why);
  JobOutcome JobFailed(const std::string& path, const JobRecord& record, const JobResult& job);
  // A file a stop cut off is sent again whole: said first.
  void SendsCutJobAgain(const std::string& path);
  void EndCycle(bool failed);
  void NothingWaits();
  void EnterIdle();
  void EnterError(const std::string& fault = {});
  // State file and deletes.
  void LoadState();
  void SettleClaims();
  // False when the state file could not be written (said once).
  bool SaveState();
  void RetryDeletes(const std::vector<std::string>& paths);
  // Whether a remembered file is the one the entry shows:
  // by its identity where known, else by write time and size. Where only its
  // times or attributes moved, its bytes decide.
  bool StillTheSame(const std::string& path, const DirEntry& entry, RememberedFile& kept);
  // Deletes a printed file, unless its name now belongs to another file.
  void DeletePrinted(const std::string& path, const RememberedFile& printed);
  void ClearStuck();
  // Printed mode: asks the server how the jobs in flight stand, at most
  // every jobQueryTicks.
  Flights QueryInFlight();
  // What the job of a file in flight came to: still InFlight, Gone (printed
  // or cancelled, settled) or Resend; resent: how often it was sent again
  // already, for the new job.
  JobOutcome HandleInFlight(const std::string& path, const Flights& flights, int* resent);
  // A job whose number a crash kept from the state file, found by its
  // uuid: true when it is settled for now.
  bool NamedByUuid(const std::string& path, InFlightJob& job);
  // What the server or printer said of a job that ended.
  JobOutcome JobEnded(const std::string& path, const InFlightJob& gone, const JobStatus& status,
                      int* resent);
  // The job of a file that left the server without a final state it kept.
  JobOutcome JobVanished(const std::string& path, const InFlightJob& job, long long server,
                         int* resent);
  // Whether the server's job is the one sent (its uuid, or when it was made).
  static bool Ours(const InFlightJob& job, const JobStatus& status);
  // Files whose jobs are printed, settled whatever the walk came to.
  void SettlePrintedInFlight(const Flights& flights);
  // Reports, once, a queue that has held a job past the stuck time.
  void CheckQueueHoldsJobs(const std::map<int, JobStatus>& states);
  bool InFlightFull();
  // Printed mode: the job about to be sent is named and remembered first,
  // so that a restart finds it whatever happens next. False when that
  // cannot be saved: the file is not sent.
  bool RecordBeforeSending(const std::string& path, const JobRecord& record, int resent,
                           std::unique_ptr<InputFile>* opened);

  const SpoolSettings& settings_;
  RecordList& jobs_;
  SpoolPorts ports_;
  EngineOptions options_;
  DropFolder folder_;
  PrintBuffers buffers_;
  const volatile std::sig_atomic_t* stopFlag_ = nullptr;

  SpoolState state_;
  SpoolState saved_;
  EngineReport report_;
  FaultLog faults_;
  unsigned long scanGeneration_ = 0;
  std::vector<std::string> retryDeletes_;
  Stuck stuck_;
  bool quiet_ = false;
  bool inError_ = false;
  std::uint64_t lastJobQuery_ = 0;
  bool jobQueried_ = false;
  std::mt19937_64 uuids_;  // job-uuids, new each run
  // Files sent once more because the server had lost their job: the number
  // that job had. A server that hands it out again lost its records.
  std::map<std::string, int> lostJobs_;
  bool historySeen_ = false;  // a job of ours was seen printed: the server keeps them
};

}  // namespace druvo
