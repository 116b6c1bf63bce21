#include "platform/posix/cups_spooler.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace druvo {

namespace {

// How often the watchdog looks at the clock and the stop flag.
constexpr auto kWatchdogTick = std::chrono::milliseconds(100);
constexpr const char* kNotAnswering = "print server not answering";

static_assert(sizeof(std::sig_atomic_t) == sizeof(int), "httpConnect2 takes the stop flag as int");

}  // namespace

void CupsSpooler::HttpCloser::operator()(http_t* http) const { httpClose(http); }
void CupsSpooler::DestFree::operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
void CupsSpooler::InfoFree::operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }

CupsWatchdog::CupsWatchdog(const volatile std::sig_atomic_t* stopFlag)
    : stopFlag_(stopFlag), thread_([this] { Run(); }) {}

CupsWatchdog::~CupsWatchdog() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    quit_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void CupsWatchdog::Arm(double seconds) {
  std::lock_guard<std::mutex> guard(lock_);
  armed_ = true;
  deadline_ = std::chrono::steady_clock::now() +
              std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  timedOut_ = false;
}

void CupsWatchdog::Disarm() {
  std::lock_guard<std::mutex> guard(lock_);
  armed_ = false;
}

bool CupsWatchdog::TimedOut() const {
  std::lock_guard<std::mutex> guard(lock_);
  return timedOut_;
}

void CupsWatchdog::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!quit_) {
    wake_.wait_for(guard, kWatchdogTick);
    if (!armed_) continue;
    const bool stop = stopFlag_ != nullptr && *stopFlag_ != 0;
    if (!stop && std::chrono::steady_clock::now() < deadline_) continue;
    if (!stop) timedOut_ = true;
    // Again at every tick: libcups may reconnect and wait once more.
    CutServerConnections();
  }
}

void CupsWatchdog::CutServerConnections() {
  const std::string server = cupsServer();
  const int port = ippPort();
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (const dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(fds)) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    bool ours = false;
    if (peer.ss_family == AF_UNIX) {
      ours = server == reinterpret_cast<const sockaddr_un*>(&peer)->sun_path;
    } else if (peer.ss_family == AF_INET) {
      ours = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port) == port;
    } else if (peer.ss_family == AF_INET6) {
      ours = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port) == port;
    }
    if (ours) shutdown(fd, SHUT_RDWR);
  }
  closedir(fds);
}

CupsSpooler::CupsSpooler(CupsOptions options) : options_(options), watchdog_(options.stopFlag) {}
CupsSpooler::~CupsSpooler() = default;

CupsSpooler::Bounded::Bounded(CupsSpooler& spooler) : spooler_(spooler) {
  spooler_.watchdog_.Arm(spooler_.options_.timeoutSeconds);
}
CupsSpooler::Bounded::~Bounded() { spooler_.watchdog_.Disarm(); }

void CupsSpooler::Disconnect() { http_.reset(); }

void CupsSpooler::ForgetQueue() {
  verifiedQueue_.clear();
  destInfo_.reset();
  dest_.reset();
}

OpResult CupsSpooler::Failure(const std::string& what) {
  // After a failed request the connection may be mid-way through it; the
  // next job starts on a fresh one.
  std::string why;
  if (watchdog_.TimedOut()) {
    why = kNotAnswering;
  } else if (StopRequested()) {
    why = "stopped while waiting for the print server";
  } else if (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
    why = cupsLastErrorString();
  } else if (http_ && httpError(http_.get()) != 0) {
    // An HTTP-level failure leaves the IPP status at "successful-ok".
    why = std::strerror(httpError(http_.get()));
  } else if (http_ && httpGetStatus(http_.get()) >= HTTP_STATUS_BAD_REQUEST) {
    why = std::string("HTTP ") + httpStatus(httpGetStatus(http_.get()));
  } else {
    why = "the print server closed the connection";
  }
  Disconnect();
  ForgetQueue();
  return OpResult::Fail(what + ": " + why);
}

OpResult CupsSpooler::Connect() {
  if (http_) return OpResult::Ok();
  const int timeoutMs = static_cast<int>(options_.timeoutSeconds * 1000);
  // The stop flag doubles as the connect's cancel flag.
  int* cancel = const_cast<int*>(reinterpret_cast<const volatile int*>(options_.stopFlag));
  http_.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                           timeoutMs, cancel));
  if (!http_) {
    return OpResult::Fail(std::string("cannot connect to the print server ") + cupsServer() + ": " +
                          (errno != 0 ? std::strerror(errno) : kNotAnswering));
  }
  return OpResult::Ok();
}

OpResult CupsSpooler::OpenQueue(const char* name) {
  printer_ = name;
  jobId_ = 0;
  lastJobId_ = 0;
  Bounded bounded(*this);
  if (OpResult r = Connect(); !r) return r;
  // One lookup per queue until something fails: cupsCreateJob would repeat
  // it (and fetch every capability) for each receipt, and a queue deleted
  // meanwhile still fails its next job.
  if (dest_ && verifiedQueue_ == printer_) return OpResult::Ok();
  ForgetQueue();
  dest_.reset(cupsGetNamedDest(http_.get(), name, nullptr));
  if (!dest_) {
    const ipp_status_t status = cupsLastError();
    if (!watchdog_.TimedOut() && !StopRequested() &&
        (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND)) {
      return OpResult::Fail("the print server has no queue \"" + printer_ + "\"");
    }
    return Failure("looking up queue \"" + printer_ + "\"");
  }
  destInfo_.reset(cupsCopyDestInfo(http_.get(), dest_.get()));
  if (!destInfo_) return Failure("looking up queue \"" + printer_ + "\"");
  verifiedQueue_ = printer_;
  return OpResult::Ok();
}

OpResult CupsSpooler::BeginDocument(const char* documentName, const char* /*dataType*/) {
  // CUPS refuses a document without data, so the job is created with the
  // first bytes; an empty file then costs nothing and prints nothing.
  documentName_ = documentName;
  return OpResult::Ok();
}

OpResult CupsSpooler::CreateJob() {
  if (OpResult r = Connect(); !r) return r;
  if (!dest_ || !destInfo_) return OpResult::Fail("the queue was not looked up");
  if (cupsCreateDestJob(http_.get(), dest_.get(), destInfo_.get(), &jobId_, documentName_.c_str(),
                        0, nullptr) > IPP_STATUS_OK_EVENTS_COMPLETE ||
      jobId_ == 0) {
    jobId_ = 0;
    return Failure("create job on \"" + printer_ + "\"");
  }
  // The data type is always raw: the files are ready for the printer.
  const http_status_t status =
      cupsStartDestDocument(http_.get(), dest_.get(), destInfo_.get(), jobId_,
                            documentName_.c_str(), CUPS_FORMAT_RAW, 0, nullptr, 1);
  if (status != HTTP_STATUS_CONTINUE) return Failure("send document");
  return OpResult::Ok();
}

OpResult CupsSpooler::BeginPage() { return OpResult::Ok(); }

OpResult CupsSpooler::Write(const void* data, std::size_t size) {
  Bounded bounded(*this);
  if (jobId_ == 0) {
    if (OpResult r = CreateJob(); !r) return r;
  }
  if (!http_) return OpResult::Fail("no connection");
  if (cupsWriteRequestData(http_.get(), static_cast<const char*>(data), size) !=
      HTTP_STATUS_CONTINUE) {
    return Failure("write to the job");
  }
  return OpResult::Ok();
}

OpResult CupsSpooler::EndPage() { return OpResult::Ok(); }

OpResult CupsSpooler::EndDocument() {
  if (jobId_ == 0) return OpResult::Ok();  // no data: nothing to print
  if (!http_ || !dest_ || !destInfo_) return OpResult::Fail("no connection");
  Bounded bounded(*this);
  const ipp_status_t status = cupsFinishDestDocument(http_.get(), dest_.get(), destInfo_.get());
  if (status > IPP_STATUS_OK_EVENTS_COMPLETE || watchdog_.TimedOut())
    return Failure("finish the job");
  lastJobId_ = jobId_;
  jobId_ = 0;
  return OpResult::Ok();
}

void CupsSpooler::AbortDocument() {
  if (jobId_ == 0) return;
  // The connection may still be inside the unfinished request: cancel on a
  // fresh one. While stopping, the cancel gets one short try.
  Disconnect();
  {
    Bounded bounded(*this);
    if (Connect()) cupsCancelJob2(http_.get(), printer_.c_str(), jobId_, 1);
  }
  Disconnect();
  jobId_ = 0;
}

void CupsSpooler::CloseQueue() { printer_.clear(); }

OpResult CupsSpooler::JobStates(const char* queue, std::map<int, JobState>* states) {
  states->clear();
  Bounded bounded(*this);
  if (OpResult r = Connect(); !r) return r;
  cups_job_t* jobs = nullptr;
  const int n = cupsGetJobs2(http_.get(), &jobs, queue, 0, CUPS_WHICHJOBS_ALL);
  // A server that lists nothing may answer "not found": no job survived.
  if (n < 0 && cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND && !watchdog_.TimedOut()) {
    return OpResult::Ok();
  }
  if (n < 0) return Failure("list the jobs of \"" + std::string(queue) + "\"");
  for (int i = 0; i < n; ++i) {
    JobState state = JobState::Pending;
    if (jobs[i].state == IPP_JSTATE_COMPLETED) state = JobState::Completed;
    if (jobs[i].state == IPP_JSTATE_CANCELED || jobs[i].state == IPP_JSTATE_ABORTED) {
      state = JobState::Failed;
    }
    (*states)[jobs[i].id] = state;
  }
  cupsFreeJobs(n, jobs);
  return OpResult::Ok();
}

}  // namespace druvo
