// With --delete-after=printed a file stays until the print server says its
// job is printed. The jobs in flight are kept in the state file with what
// tells them from another job that later got the same number.
#include <algorithm>
#include <cstdio>
#include "core/clock.h"
#include "core/text_helpers.h"
#include "spool/fault_switch.h"
#include "spool/spool_cycle.h"

namespace druvo {

namespace {

std::string JobText(int id, const std::string& path) {
  return "job " + std::to_string(id) + " of " + QuotedForLog(path);
}

// A random (version 4) UUID as a URN, as IPP's job-uuid takes it.
std::string JobUuid(std::mt19937_64& random) {
  std::uint64_t high = random(), low = random();
  high = (high & ~0xF000ULL) | 0x4000ULL;                       // version 4
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant 1
  char text[64];
  std::snprintf(text, sizeof text, "urn:uuid:%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(high >> 32),
                static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFFF),
                static_cast<unsigned long long>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

}  // namespace

bool SpoolEngine::RecordBeforeSending(const std::string& path, const JobRecord& record,
                                      int resent, std::unique_ptr<InputFile>* opened) {
  const std::string uuid = JobUuid(uuids_);
  InFlightJob& flight = state_.inFlight[path];
  flight = InFlightJob{};
  flight.writeTime = JobWriteTime(record);
  flight.size = JobSize(record);
  flight.seen = scanGeneration_;
  flight.resent = resent;
  flight.queue = settings_.printerName;
  flight.uuid = uuid;
  flight.jobId = ports_.jobs.NameNextJob(uuid);
  // Should druvo die before the job is known, a restart finds it by its
  // uuid; the file is that job's while it holds the bytes sent, whatever is
  // done to its times meanwhile. They are read before the job exists.
  if (!ReadAhead(ports_.files, path.c_str(), opened, &flight.identity)) flight.identity = {};
  if (flight.identity.Known()) flight.size = flight.identity.size;
  if (FaultOn(Fault::NoRecordBeforeSend)) return true;
  if (!SaveState()) {
    state_.inFlight.erase(path);
    return false;
  }
  return true;
}

bool SpoolEngine::InFlightFull() {
  if (settings_.deleteAfterPrinted == 0) return false;
  const bool full = state_.inFlight.size() >= options_.maxInFlight;
  if (!full) {
    faults_.Clear(FaultKind::InFlightFull, settings_.printerName);
  } else if (faults_.Raise(FaultKind::InFlightFull, settings_.printerName)) {
    Log(LogLevel::Info, std::to_string(state_.inFlight.size()) +
                            " jobs in flight: the next files wait until some "
                            "are printed");
  }
  return full;
}

std::size_t SpoolEngine::SettleInFlight() {
  jobQueried_ = false;  // ask now
  const Flights flights = QueryInFlight();
  if (!flights.known) return state_.inFlight.size();
  std::vector<std::string> paths;
  for (const auto& [path, job] : state_.inFlight) paths.push_back(path);
  for (const std::string& path : paths) {
    int resent = 0;
    // One to send again stays a file to print; the next start sends it.
    HandleInFlight(path, flights, &resent);
  }
  SaveState();
  return state_.inFlight.size();
}

std::size_t SpoolEngine::AwaitConfirmations(const std::function<void()>& wait, long long quietMs,
                                            long long mostMs) {
  std::size_t left = SettleInFlight();
  if (left == 0) return 0;
  Log(LogLevel::Info, "stopping: waiting for the printer to confirm " + std::to_string(left) +
                          " receipt(s) it has");
  const long long start = SteadyMs();
  long long progress = start;
  while (left > 0 && SteadyMs() - progress < quietMs && SteadyMs() - start < mostMs) {
    wait();
    const std::size_t now = SettleInFlight();
    if (now < left) progress = SteadyMs();
    left = now;
  }
  if (left != 0)
    Log(LogLevel::Warning, std::to_string(left) +
                               " receipt(s) not confirmed when stopping: the next start "
                               "settles them before sending anything again");
  return left;
}

SpoolEngine::Flights SpoolEngine::QueryInFlight() {
  Flights flights;
  if (state_.inFlight.empty()) return flights;
  const std::uint64_t now = ports_.timer.Now();
  if (jobQueried_ && now >= lastJobQuery_ && now < lastJobQuery_ + options_.jobQueryTicks)
    return flights;
  jobQueried_ = true;
  lastJobQuery_ = now;
  std::vector<int> ids;
  for (const auto& [path, job] : state_.inFlight) ids.push_back(job.jobId);
  const OpResult r = ports_.jobs.JobStates(settings_.printerName, ids, &flights.states);
  if (!r) {
    flights.states.clear();
    if (faults_.Raise(FaultKind::JobStatesUnknown, settings_.printerName)) {
      Log(LogLevel::Warning, "cannot ask the print server how " +
                                 std::to_string(state_.inFlight.size()) +
                                 " job(s) in flight stand: " + r.error + "; their files wait");
    }
    return flights;
  }
  faults_.Clear(FaultKind::JobStatesUnknown, settings_.printerName);
  flights.known = true;
  flights.server = ports_.jobs.ServerInstance();
  CheckQueueHoldsJobs(flights.states);
  return flights;
}

void SpoolEngine::CheckQueueHoldsJobs(const std::map<int, JobStatus>& states) {
  const std::uint64_t now = ports_.timer.Now();
  std::size_t held = 0;
  std::string queue;
  for (const auto& [path, job] : state_.inFlight) {
    auto found = states.find(job.jobId);
    if (found == states.end() || found->second.state != JobState::Pending) continue;
    if (job.sentAt == 0) state_.inFlight[path].sentAt = now;  // known since a restart
    if (job.sentAt != 0 && now >= job.sentAt + options_.stuckTicks) {
      ++held;
      queue = job.queue.empty() ? settings_.printerName : job.queue;
    }
  }
  const std::string problem = held == 0 ? std::string() : ports_.jobs.QueueProblem(queue.c_str());
  const std::string fault = problem.empty() ? std::string() : "queue " + queue + ": " + problem;
  const std::string told = faults_.AnyOf(FaultKind::QueueHoldsJobs);
  if (fault == told) return;
  if (!told.empty()) {
    faults_.ClearKind(FaultKind::QueueHoldsJobs);
    if (fault.empty()) Log(LogLevel::Info, "jobs move again (" + told + " is over)");
  }
  if (!fault.empty()) {
    faults_.Raise(FaultKind::QueueHoldsJobs, queue, fault);
    Log(LogLevel::Warning, std::to_string(held) + " job(s) wait in " + fault +
                               "; their files stay until they are printed");
  }
  Tell(fault);
}

bool SpoolEngine::NamedByUuid(const std::string& path, InFlightJob& job) {
  if (job.jobId != 0 || job.uuid.empty()) return false;
  // Being sent when the last run ended, its number not yet kept: the job
  // carries its uuid if it was made.
  const int id = ports_.jobs.JobWithUuid(job.uuid);
  if (id < 0) return true;  // asked again next time
  if (id == 0) return false;
  job.jobId = id;
  SaveState();
  Log(LogLevel::Info, QuotedForLog(path) + " was sent as job " + std::to_string(id) +
                          " before the restart; deleted once it is printed");
  return true;
}

bool SpoolEngine::Ours(const InFlightJob& job, const JobStatus& status) {
  return FaultOn(Fault::TrustReusedJobId) || status.uuid.empty() || job.uuid.empty()
             ? status.created == job.jobCreated
             : status.uuid == job.uuid;
}

void SpoolEngine::SettlePrintedInFlight(const Flights& flights) {
  // The walk stopped before some files whose jobs are printed: they are
  // settled now, in any order, before the server's history lets them go.
  if (!flights.known || StopRequested()) return;
  std::vector<std::string> printed;
  for (const auto& [path, job] : state_.inFlight) {
    auto found = flights.states.find(job.jobId);
    if (job.jobId != 0 && found != flights.states.end() &&
        found->second.state == JobState::Completed && Ours(job, found->second))
      printed.push_back(path);
  }
  int resent = 0;
  for (const std::string& path : printed)
    if (HandleInFlight(path, flights, &resent) == JobOutcome::Gone) --report_.waiting;
}

JobOutcome SpoolEngine::HandleInFlight(const std::string& path, const Flights& flights,
                                       int* resent) {
  if (!flights.known) return JobOutcome::InFlight;
  auto it = state_.inFlight.find(path);
  InFlightJob& job = it->second;
  if (NamedByUuid(path, job)) return JobOutcome::InFlight;
  if (job.jobId == 0) {
    // Being sent when the last run ended, and no job of the server's has its
    // uuid: it was never made (or went with a crash of the server's). Not a
    // job that went missing: sent as if for the first time.
    Log(LogLevel::Warning, QuotedForLog(path) +
                               " was being sent when druvo last stopped, and the print server "
                               "has no job of it; sending it again");
    *resent = job.resent;
    state_.inFlight.erase(it);
    SaveState();
    return JobOutcome::Resend;
  }
  auto found = flights.states.find(job.jobId);
  // A server that lost its jobs in a crash hands their numbers out again:
  // the job-uuid tells ours from another's. Where the server keeps none, the
  // first answer tells when the job was made, and a job with the same
  // number but another time is someone else's.
  if (found != flights.states.end() && job.jobCreated == 0) job.jobCreated = found->second.created;
  const bool ours = found != flights.states.end() && Ours(job, found->second);
  if (ours && found->second.state == JobState::Pending) {
    if (job.queue.empty() || job.queue == settings_.printerName) return JobOutcome::InFlight;
    ports_.jobs.CancelJob(job.queue.c_str(), job.jobId);
    Log(LogLevel::Warning, JobText(job.jobId, path) + " still waited on " +
                               QuotedForLog(job.queue) + ", and the printer is now " +
                               QuotedForLog(settings_.printerName) +
                               ": cancelled there and sent again");
    *resent = job.resent;
    state_.inFlight.erase(it);
    SaveState();
    return JobOutcome::Resend;
  }
  const InFlightJob gone = job;
  state_.inFlight.erase(it);
  const JobOutcome step = ours ? JobEnded(path, gone, found->second, resent)
                               : JobVanished(path, gone, flights.server, resent);
  SaveState();
  return step;
}

JobOutcome SpoolEngine::JobEnded(const std::string& path, const InFlightJob& gone,
                                 const JobStatus& status, int* resent) {
  const std::string text = JobText(gone.jobId, path);
  if (status.state == JobState::Completed) {
    historySeen_ = true;
    Log(LogLevel::Info, text + " is printed" + (status.why.empty() ? "" : " (" + status.why + ")"));
    ++report_.confirmed;
    DeletePrinted(path, gone);
    return JobOutcome::Gone;
  }
  if (status.state == JobState::Cancelled) {
    // Never undone behind the operator's back: the file stays, and is not
    // sent again until it is replaced.
    state_.held[path] = RememberedFile{gone.writeTime, gone.size, gone.identity, scanGeneration_};
    Log(LogLevel::Warning, text +
                               " was cancelled on the print server; the file stays "
                               "and is not sent again (copy it in anew to print it)");
    return JobOutcome::Gone;
  }
  if (!status.why.empty()) {
    // A printer that stopped before confirming it: a part of it may be on
    // paper already.
    Log(LogLevel::Warning, text + " did not come out whole (" + status.why +
                               "); sending the file again whole, so a part of it "
                               "may come out twice");
  } else {
    Log(LogLevel::Warning, text + " was aborted by the print server; sending the file again");
  }
  *resent = gone.resent;
  return JobOutcome::Resend;
}

JobOutcome SpoolEngine::JobVanished(const std::string& path, const InFlightJob& job,
                                    long long server, int* resent) {
  const std::string text = JobText(job.jobId, path);
  // The same server run no longer knows a job it took: it finished and left
  // the job history (kept off, or purged at the job limit). A new run (or
  // one we cannot tell) may have lost it in a crash: sent once more, never
  // in a loop.
  const bool sameRun = job.server != 0 && server == job.server;
  // A server seen to keep its printed jobs lost this one in a crash: as
  // often as that happens, it is sent again.
  if (!sameRun && (job.resent == 0 || historySeen_)) {
    Log(LogLevel::Warning, text +
                               " is unknown to the print server (lost when it "
                               "restarted?); sending the file once more");
    *resent = job.resent + 1;
    lostJobs_[path] = job.jobId;
    return JobOutcome::Resend;
  }
  if (faults_.Raise(FaultKind::HistoryOff, settings_.printerName)) {
    Log(LogLevel::Warning,
        text +
            (sameRun ? " left the print server's job history before it was seen to finish"
                     : " is unknown to the print server again") +
            "; taken as printed and not sent again. Deleting files once printed needs the "
            "server to keep its job history (PreserveJobHistory Yes, MaxJobs above " +
            std::to_string(options_.maxInFlight) + ")");
  }
  ++report_.accepted;
  DeletePrinted(path, job);
  return JobOutcome::Gone;
}

}  // namespace druvo
