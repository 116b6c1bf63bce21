#include "platform/posix/cups_spooler.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <random>
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
  // The server's socket by its inode, so that any spelling of its path
  // (a symlinked folder, /var/run for /run) is recognised; over TCP, its port.
  struct stat server {};
  const bool local = stat(cupsServer(), &server) == 0 && S_ISSOCK(server.st_mode);
  const int port = ippPort();
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    // Descriptors 0 to 2 too: with stdio closed, a connection may land there.
    const int fd = std::atoi(entry->d_name);
    if (fd == dirfd(fds)) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    bool ours = false;
    if (peer.ss_family == AF_UNIX && local) {
      struct stat st {};
      ours = stat(reinterpret_cast<const sockaddr_un*>(&peer)->sun_path, &st) == 0 &&
             st.st_dev == server.st_dev && st.st_ino == server.st_ino;
    } else if (peer.ss_family == AF_INET) {
      ours = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port) == port;
    } else if (peer.ss_family == AF_INET6) {
      ours = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port) == port;
    }
    if (ours) shutdown(fd, SHUT_RDWR);
  }
  closedir(fds);
}

CupsSpooler::CupsSpooler(CupsOptions options) : options_(options), watchdog_(options.stopFlag) {
  std::random_device random;
  connection_ = static_cast<long long>(random() & 0x3FFFFFFF) << 20;
}

void CupsSpooler::NoteConnection() {
  // Every socket has an inode of its own: another one under the same
  // descriptor number is a new connection.
  struct stat st {};
  if (!http_ || fstat(httpGetFd(http_.get()), &st) != 0) return;
  const auto inode = static_cast<unsigned long long>(st.st_ino);
  if (inode != socketInode_) ++connection_;
  socketInode_ = inode;
}
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
    // libcups leaves errno at whatever its clean-up met last (often "Bad
    // file descriptor"): a missing local socket is told by looking.
    const int code = errno;
    struct stat st {};
    std::string why = code != 0 && code != EBADF ? std::strerror(code) : "the connection failed";
    if (cupsServer()[0] == '/' && stat(cupsServer(), &st) != 0)
      why = std::string(std::strerror(errno)) + " (is cupsd running?)";
    return OpResult::Fail(std::string("cannot connect to the print server ") + cupsServer() + ": " +
                          why);
  }
  NoteConnection();
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
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                   "/printers/%s", printer_.c_str());
  ipp_t* request = ippNewRequest(IPP_OP_CREATE_JOB);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
               documentName_.c_str());
  if (!uuid_.empty())
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr, uuid_.c_str());
  std::unique_ptr<ipp_t, void (*)(ipp_t*)> response(
      cupsDoRequest(http_.get(), request, ("/printers/" + printer_).c_str()), ippDelete);
  const ipp_status_t created = cupsLastError();
  NoteConnection();
  ipp_attribute_t* id = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER);
  jobId_ = id != nullptr ? ippGetInteger(id, 0) : 0;
  if (created > IPP_STATUS_OK_EVENTS_COMPLETE || jobId_ == 0) {
    jobId_ = 0;
    // The server's job limit: nothing is wrong, the file waits its turn.
    if (created == IPP_STATUS_ERROR_TOO_MANY_JOBS ||
        (created == IPP_STATUS_ERROR_NOT_POSSIBLE &&
         std::strstr(cupsLastErrorString(), "Too many") != nullptr)) {
      return OpResult::Later(std::string("the print server has too many jobs (") +
                             cupsLastErrorString() + ")");
    }
    return Failure("create job on \"" + printer_ + "\"");
  }
  uuid_.clear();
  // The data type is always raw: the files are ready for the printer.
  const http_status_t status =
      cupsStartDestDocument(http_.get(), dest_.get(), destInfo_.get(), jobId_,
                            documentName_.c_str(), CUPS_FORMAT_RAW, 0, nullptr, 1);
  if (status != HTTP_STATUS_CONTINUE) return Failure("send document");
  return OpResult::Ok();
}

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

namespace {

JobState StateOf(ipp_jstate_t state) {
  switch (state) {
    case IPP_JSTATE_COMPLETED:
      return JobState::Completed;
    case IPP_JSTATE_CANCELED:
      return JobState::Cancelled;
    case IPP_JSTATE_ABORTED:
      return JobState::Aborted;
    default:
      return JobState::Pending;
  }
}

}  // namespace

OpResult CupsSpooler::AskJobs(ipp_t* request, const char* what, std::map<int, JobStatus>* states) {
  static const char* const kWanted[] = {"job-id", "job-state", "time-at-creation", "job-uuid"};
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr,
                kWanted);
  std::unique_ptr<ipp_t, void (*)(ipp_t*)> response(cupsDoRequest(http_.get(), request, "/"),
                                                    ippDelete);
  NoteConnection();
  if (!watchdog_.TimedOut() && cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
    return OpResult::Ok();  // no such job, or none at all
  if (!response || watchdog_.TimedOut() || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
    return Failure(what);
  // One group per job, each opened by its job-id.
  JobStatus status;
  int id = 0;
  const auto keep = [&] {
    if (id != 0) (*states)[id] = status;
  };
  for (ipp_attribute_t* a = ippFirstAttribute(response.get()); a != nullptr;
       a = ippNextAttribute(response.get())) {
    const char* name = ippGetName(a);
    if (name == nullptr) {
      keep();
      id = 0;
      status = JobStatus{};
    } else if (std::strcmp(name, "job-id") == 0) {
      id = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "job-state") == 0) {
      status.state = StateOf(static_cast<ipp_jstate_t>(ippGetInteger(a, 0)));
    } else if (std::strcmp(name, "time-at-creation") == 0) {
      status.created = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "job-uuid") == 0) {
      const char* uuid = ippGetString(a, 0, nullptr);
      status.uuid = uuid != nullptr ? uuid : "";
    }
  }
  keep();
  return OpResult::Ok();
}

OpResult CupsSpooler::JobStates(const char* /*queue*/, const std::vector<int>& ids,
                                std::map<int, JobStatus>* states) {
  states->clear();
  Bounded bounded(*this);
  if (OpResult r = Connect(); !r) return r;
  // The active jobs (on any queue: the printer may have been changed) in one
  // request; each job that left them is asked for alone, once.
  std::map<int, JobStatus> active;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  if (OpResult r = AskJobs(request, "list the active jobs", &active); !r) return r;
  for (const int id : ids) {
    if (auto found = active.find(id); found != active.end()) {
      (*states)[id] = found->second;
      continue;
    }
    request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/");
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    std::map<int, JobStatus> one;
    if (OpResult r = AskJobs(request, ("ask for job " + std::to_string(id)).c_str(), &one); !r)
      return r;
    if (auto found = one.find(id); found != one.end()) (*states)[id] = found->second;
  }
  return OpResult::Ok();
}

int CupsSpooler::JobWithUuid(const std::string& uuid) {
  Bounded bounded(*this);
  if (!Connect()) return -1;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  std::map<int, JobStatus> jobs;
  if (!AskJobs(request, "list the jobs", &jobs)) return -1;
  for (const auto& [id, job] : jobs)
    if (job.uuid == uuid) return id;
  return 0;
}

void CupsSpooler::CancelJob(const char* queue, int id) {
  Bounded bounded(*this);
  if (Connect()) cupsCancelJob2(http_.get(), queue, id, 0);
}

long long CupsSpooler::ServerInstance() {
  // Not the server's process: a socket-activated cupsd's socket belongs to
  // pid 1 whatever runs behind it. A connection that held is a server that
  // ran on; a new one may be a restart.
  return http_ ? connection_ : 0;
}

std::string CupsSpooler::QueueProblem(const char* queue) {
  Bounded bounded(*this);
  if (!Connect()) return std::string();
  static const char* const kWanted[] = {"printer-state", "printer-state-reasons",
                                        "printer-state-message"};
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                   "/printers/%s", queue);
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr,
                kWanted);
  std::unique_ptr<ipp_t, void (*)(ipp_t*)> response(cupsDoRequest(http_.get(), request, "/"),
                                                    ippDelete);
  if (!response) return cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND ? "the queue is gone" : "";
  ipp_attribute_t* state = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM);
  if (state == nullptr || ippGetInteger(state, 0) != IPP_PSTATE_STOPPED) return std::string();
  std::string listed;
  ipp_attribute_t* reasons =
      ippFindAttribute(response.get(), "printer-state-reasons", IPP_TAG_ZERO);
  for (int i = 0; reasons != nullptr && i < ippGetCount(reasons); ++i) {
    const char* reason = ippGetString(reasons, i, nullptr);
    if (reason == nullptr || std::strcmp(reason, "none") == 0) continue;
    listed += (listed.empty() ? "" : ", ") + std::string(reason);
  }
  std::string why = listed.empty() ? "stopped" : "stopped (" + listed + ")";
  ipp_attribute_t* message =
      ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_ZERO);
  const char* text = message != nullptr ? ippGetString(message, 0, nullptr) : nullptr;
  if (text != nullptr && *text != '\0') why += std::string(": ") + text;
  return why;
}

}  // namespace druvo
