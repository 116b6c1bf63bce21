// A print server as cupsd behaves, seen through what druvo's CUPS client
// asks of it: a job made per document (carrying the client's job-uuid),
// its state and time of creation, the active jobs and the job history.
// It may be socket-activated (the socket stays while cupsd restarts), it
// writes its job list to disk only every DirtyCleanInterval (30 s), so
// kill -9 loses what came since and hands those job ids out again, it
// purges completed jobs past MaxJobs, and it may hold, cancel, refuse or
// answer slowly.
#pragma once

#include <map>
#include <string>

#include "spool/ports.h"
#include "tests/sim/world.h"

namespace druvo::sim {

struct CupsKind {
  bool socketActivated = true;
  std::size_t maxJobs = 500;
  std::string Name() const;
};

class SimCupsd : public TrackingSpooler {
 public:
  SimCupsd(Ledger& ledger, Trace& trace, CupsKind kind, const bool& clientDead);

  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char* documentName, const char* dataType) override;
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndDocument() override;
  void AbortDocument() override;
  void CloseQueue() override {}
  int LastJobId() const override { return lastJob_; }

  int NameNextJob(const std::string& uuid) override {
    uuid_ = uuid;
    return 0;
  }
  OpResult JobStates(const char* queue, const std::vector<int>& ids,
                     std::map<int, JobStatus>* states) override;
  void CancelJob(const char* queue, int id) override;
  int JobWithUuid(const std::string& uuid) override;
  long long ServerInstance() override { return connection_; }
  std::string QueueProblem(const char* queue) override;

  // The world's side.
  void Run(long long now);
  long long Next() const;
  void Kill9();
  void Restart();
  void ClientGone();  // druvo died with a document open
  void AdminCancel(std::uint64_t pick);
  void OtherJob();
  bool up = true;
  bool stopped = false;  // the queue is stopped: jobs are held
  bool refusing = false;
  long long slowMs = 0;

 private:
  struct Job {
    std::string uuid;
    long long created = 0;
    JobState state = JobState::Pending;
    std::string doc;
    bool complete = false;  // the whole document came
    bool printed = false;
    bool ours = true;
    long long doneAt = 0;
  };
  bool Reach(std::string* why);
  void Finish(int id, Job& job);
  void Purge();
  void Clean();
  Ledger& ledger_;
  Trace& trace_;
  CupsKind kind_;
  const bool& clientDead_;
  std::map<int, Job> jobs_;
  std::map<int, long long> printing_;  // jobs due to finish, by id: when
  std::map<int, Job> onDisk_;  // the job list as last written
  int nextId_ = 1;
  int current_ = 0;
  int lastJob_ = 0;
  std::string uuid_;
  long long connection_ = 1;
  long long run_ = 1;         // cupsd's own run
  long long connectedTo_ = 1;  // the run our connection reached
  long long nextClean_ = 30000;
  long long upAt_ = 0;  // a killed cupsd that is not socket-activated comes back then
};

}  // namespace druvo::sim
