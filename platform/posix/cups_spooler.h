// The print queue on CUPS: one job per document, sent as raw data over one
// connection to the server that is kept between jobs. Every request and write
// is bounded in time, and a stop request cuts any wait short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "spool/ports.h"

typedef struct _http_s http_t;
typedef struct cups_dest_s cups_dest_t;
typedef struct _cups_dinfo_s cups_dinfo_t;
typedef struct _ipp_s ipp_t;

namespace druvo {

struct CupsOptions {
  // No progress for this long fails the request: "print server not answering".
  double timeoutSeconds = 30.0;
  const volatile std::sig_atomic_t* stopFlag = nullptr;
};

// Bounds every call into libcups, which has waits of its own that no
// timeout reaches: past the deadline, or once a stop is requested, the
// sockets connected to the print server are shut down, and the call fails
// at once.
class CupsWatchdog {
 public:
  CupsWatchdog(const volatile std::sig_atomic_t* stopFlag);
  ~CupsWatchdog();
  CupsWatchdog(const CupsWatchdog&) = delete;
  CupsWatchdog& operator=(const CupsWatchdog&) = delete;
  void Arm(double seconds);
  void Disarm();
  bool TimedOut() const;

 private:
  void Run();
  // Shuts down every socket of this process connected to the print server:
  // libcups opens connections of its own and reconnects, so no single
  // descriptor can be trusted.
  static void CutServerConnections();
  const volatile std::sig_atomic_t* stopFlag_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool armed_ = false;
  std::chrono::steady_clock::time_point deadline_;
  bool timedOut_ = false;
  bool quit_ = false;
  std::thread thread_;
};

class CupsSpooler : public TrackingSpooler {
 public:
  explicit CupsSpooler(CupsOptions options = {});
  ~CupsSpooler() override;
  CupsSpooler(const CupsSpooler&) = delete;
  CupsSpooler& operator=(const CupsSpooler&) = delete;

  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char* documentName, const char* dataType) override;
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndDocument() override;
  void AbortDocument() override;
  void CloseQueue() override;
  int LastJobId() const override { return lastJobId_; }
  int NameNextJob(const std::string& uuid) override {
    uuid_ = uuid;
    return 0;  // the server numbers its jobs
  }
  OpResult JobStates(const char* queue, const std::vector<int>& ids,
                     std::map<int, JobStatus>* states) override;
  void CancelJob(const char* queue, int id) override;
  int JobWithUuid(const std::string& uuid) override;
  long long ServerInstance() override;
  std::string QueueProblem(const char* queue) override;

 private:
  struct HttpCloser {
    void operator()(http_t* http) const;
  };
  struct DestFree {
    void operator()(cups_dest_t* dest) const;
  };
  struct InfoFree {
    void operator()(cups_dinfo_t* info) const;
  };
  // Arms the watchdog for one call; disarmed when the guard goes.
  class Bounded {
   public:
    explicit Bounded(CupsSpooler& spooler);
    ~Bounded();
    Bounded(const Bounded&) = delete;
    Bounded& operator=(const Bounded&) = delete;

   private:
    CupsSpooler& spooler_;
  };
  bool StopRequested() const { return options_.stopFlag != nullptr && *options_.stopFlag != 0; }
  OpResult Connect();
  void Disconnect();
  void ForgetQueue();  // looked up again before the next job
  OpResult CreateJob();
  OpResult Failure(const std::string& what);  // drops the connection
  // Counts a connection libcups made again on its own (the server closed
  // the last one): the server may have restarted in between.
  void NoteConnection();
  // Asks for jobs' states, job-uuids and creation times; adds those listed.
  OpResult AskJobs(ipp_t* request, const char* what, std::map<int, JobStatus>* states);

  CupsOptions options_;
  std::unique_ptr<http_t, HttpCloser> http_;
  std::string printer_;
  // The queue as looked up, kept and used until something fails: a job is
  // then created with one request instead of three.
  std::string verifiedQueue_;
  std::unique_ptr<cups_dest_t, DestFree> dest_;
  std::unique_ptr<cups_dinfo_t, InfoFree> destInfo_;
  std::string documentName_;
  int jobId_ = 0;
  int lastJobId_ = 0;
  std::string uuid_;  // of the next job
  // One per connection to the server: a job known on the connection that
  // made it was not lost in a restart. Starts at a random number, so that
  // our own restart counts as a new connection too.
  long long connection_ = 0;
  unsigned long long socketInode_ = 0;
  CupsWatchdog watchdog_;
};

}  // namespace druvo
