#include "tests/sim/cupsd.h"

#include <algorithm>
#include <climits>

namespace druvo::sim {

namespace {
constexpr long long kServerEpoch = 1796882400LL;  // the server's clock, seconds
constexpr long long kTimeoutMs = 30000;           // druvo's bound on each request
}  // namespace

std::string CupsKind::Name() const {
  return std::string(socketActivated ? "socket-activated cupsd" : "cupsd") + ", MaxJobs " +
         std::to_string(maxJobs);
}

SimCupsd::SimCupsd(Ledger& ledger, Trace& trace, CupsKind kind, const bool& clientDead)
    : ledger_(ledger), trace_(trace), kind_(kind), clientDead_(clientDead) {}

bool SimCupsd::Reach(std::string* why) {
  TheClock().Interleave();
  Clock& clock = TheClock();
  if (!up && kind_.socketActivated) {
    clock.Advance(300);  // systemd starts it for the waiting connection
    up = true;
    trace_.Add(clock.Now(), "cupsd started by its socket");
  }
  if (!up) {
    *why = "print server not answering (connection refused)";
    return false;
  }
  if (slowMs > 0) clock.Advance(slowMs < kTimeoutMs ? slowMs : kTimeoutMs);
  if (slowMs >= kTimeoutMs) {
    *why = "print server not answering (30 s)";
    return false;
  }
  // The old connection died with the old cupsd: a new one is made.
  if (connectedTo_ != run_) {
    connectedTo_ = run_;
    ++connection_;
  }
  return true;
}

OpResult SimCupsd::OpenQueue(const char*) {
  std::string why;
  if (!Reach(&why)) return OpResult::Fail(why);
  if (refusing) return OpResult::Fail("queue RACUN is not accepting jobs");
  std::size_t active = 0;
  for (const auto& [id, job] : jobs_) active += job.state == JobState::Pending;
  if (active >= kind_.maxJobs) return OpResult::Later("the print server has too many jobs");
  return OpResult::Ok();
}

OpResult SimCupsd::BeginDocument(const char*, const char*) {
  std::string why;
  if (!Reach(&why)) return OpResult::Fail(why);
  current_ = nextId_++;
  Job& job = jobs_[current_];
  // cupsd gives every job a job-uuid: the client's, or one of its own.
  job.uuid = uuid_.empty() ? "urn:uuid:cupsd-" + std::to_string(run_) + "-" + std::to_string(current_) : uuid_;
  job.created = kServerEpoch + TheClock().Now() / 1000;
  uuid_.clear();
  return OpResult::Ok();
}

OpResult SimCupsd::Write(const void* data, std::size_t size) {
  TheClock().Interleave();
  auto it = jobs_.find(current_);
  if (!up || it == jobs_.end()) return OpResult::Fail("print server not answering");
  it->second.doc.append(static_cast<const char*>(data), size);
  return OpResult::Ok();
}

OpResult SimCupsd::EndDocument() {
  std::string why;
  if (!Reach(&why)) return OpResult::Fail(why);
  auto it = jobs_.find(current_);
  if (it == jobs_.end()) return OpResult::Fail("the job is gone");
  Job& job = it->second;
  job.complete = true;
  job.doneAt = TheClock().Now() + 200 + static_cast<long long>(job.doc.size()) * 1000 / 2900;
  ledger_.HandedOver(job.doc);
  printing_[current_] = job.doneAt;
  lastJob_ = current_;
  current_ = 0;
  return OpResult::Ok();
}

void SimCupsd::AbortDocument() {
  // A killed client withdraws nothing: the server notices later.
  if (clientDead_) return;
  auto it = jobs_.find(current_);
  if (it != jobs_.end() && it->second.state == JobState::Pending) it->second.state = JobState::Cancelled;
  current_ = 0;
}

void SimCupsd::ClientGone() {
  for (auto& [id, job] : jobs_)
    if (!job.complete && job.state == JobState::Pending) job.state = JobState::Aborted;
  current_ = 0;
}

OpResult SimCupsd::JobStates(const char*, const std::vector<int>& ids,
                             std::map<int, JobStatus>* states) {
  states->clear();
  std::string why;
  if (!Reach(&why)) return OpResult::Fail(why);
  for (const int id : ids) {
    auto it = jobs_.find(id);
    if (it == jobs_.end()) continue;
    (*states)[id] = JobStatus{it->second.state, it->second.created, {}, it->second.uuid};
  }
  return OpResult::Ok();
}

void SimCupsd::CancelJob(const char*, int id) {
  std::string why;
  if (!Reach(&why)) return;
  auto it = jobs_.find(id);
  if (it != jobs_.end() && it->second.state == JobState::Pending) it->second.state = JobState::Cancelled;
}

int SimCupsd::JobWithUuid(const std::string& uuid) {
  std::string why;
  if (!Reach(&why)) return -1;
  for (const auto& [id, job] : jobs_)
    if (job.uuid == uuid) return id;
  return 0;
}

std::string SimCupsd::QueueProblem(const char*) { return stopped ? "stopped (paused)" : ""; }

void SimCupsd::Finish(int id, Job& job) {
  job.state = JobState::Completed;
  job.printed = true;
  ledger_.Paper(job.doc);
  (void)id;
  Purge();
}

void SimCupsd::Purge() {
  // MaxJobs: the oldest finished jobs leave the history.
  std::size_t count = jobs_.size();
  for (auto it = jobs_.begin(); it != jobs_.end() && count > kind_.maxJobs;) {
    if (it->second.state == JobState::Pending) {
      ++it;
      continue;
    }
    it = jobs_.erase(it);
    --count;
  }
}

void SimCupsd::Clean() {
  onDisk_ = jobs_;
  nextClean_ = TheClock().Now() + 30000;
}

void SimCupsd::Run(long long now) {
  if (!up && !kind_.socketActivated && now >= upAt_) {
    up = true;
    trace_.Add(now, "cupsd is back");
  }
  if (!up) return;
  if (now >= nextClean_) Clean();
  if (stopped) return;
  for (auto it = printing_.begin(); it != printing_.end();) {
    auto job = jobs_.find(it->first);
    if (job == jobs_.end() || job->second.state != JobState::Pending) {
      it = printing_.erase(it);
    } else if (it->second <= now) {
      it = printing_.erase(it);
      Finish(job->first, job->second);
    } else {
      ++it;
    }
  }
}

long long SimCupsd::Next() const {
  long long next = up ? nextClean_ : (kind_.socketActivated ? LLONG_MAX : upAt_);
  if (!up || stopped) return next;
  for (const auto& [id, at] : printing_) next = std::min(next, at);
  return next;
}

void SimCupsd::Kill9() {
  if (!up) return;
  // What came since the job list was last written is lost, and the lost
  // jobs' ids are handed out again. A lost job that had been printed will
  // be sent again by any client that cannot tell: the world repeats it.
  for (const auto& [id, job] : jobs_) {
    auto kept = onDisk_.find(id);
    if (kept == onDisk_.end() && job.printed && job.ours) ledger_.WorldRepeated(job.doc);
  }
  // Jobs it had written keep what became of them since.
  std::map<int, Job> kept;
  for (const auto& [id, job] : jobs_)
    if (onDisk_.count(id) != 0) kept[id] = job;
  jobs_.swap(kept);
  printing_.clear();
  for (auto& [id, job] : jobs_) {
    if (!job.complete && job.state == JobState::Pending) job.state = JobState::Aborted;
    if (job.complete && job.state == JobState::Pending) printing_[id] = job.doneAt;
  }
  nextId_ = jobs_.empty() ? 1 : jobs_.rbegin()->first + 1;
  current_ = 0;
  up = false;
  ++run_;
  upAt_ = TheClock().Now() + 2000;
}

void SimCupsd::Restart() {
  if (!up) return;
  Clean();
  up = false;
  ++run_;
  current_ = 0;
  upAt_ = TheClock().Now() + 1000;
  if (kind_.socketActivated) up = true;  // the socket held the connection's place
}

void SimCupsd::AdminCancel(std::uint64_t pick) {
  std::vector<int> pending;
  for (const auto& [id, job] : jobs_)
    if (job.state == JobState::Pending && job.ours && job.complete) pending.push_back(id);
  if (pending.empty()) return;
  Job& job = jobs_[pending[pick % pending.size()]];
  job.state = JobState::Cancelled;
  ledger_.Cancelled(job.doc);
  trace_.Add(TheClock().Now(), "an administrator cancels job " + std::to_string(pending[pick % pending.size()]));
}

void SimCupsd::OtherJob() {
  if (!up) return;
  const int id = nextId_++;
  Job& job = jobs_[id];
  job.ours = false;
  job.uuid = "urn:uuid:other-" + std::to_string(run_) + "-" + std::to_string(id);
  job.created = kServerEpoch + TheClock().Now() / 1000;
  job.doc = "another program's page\n";
  job.complete = true;
  job.doneAt = TheClock().Now() + 100;
  printing_[id] = job.doneAt;
}

}  // namespace druvo::sim
