#include "platform/posix/cups_spooler.h"

#include <cups/cups.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace druvo {

namespace {

// The server is polled in slices this long, so a stop request is seen soon.
constexpr double kSliceSeconds = 0.2;
constexpr const char* kNotAnswering = "print server not answering";

static_assert(sizeof(std::sig_atomic_t) == sizeof(int), "httpConnect2 takes the stop flag as int");

}  // namespace

void CupsSpooler::HttpCloser::operator()(http_t* http) const { httpClose(http); }

CupsSpooler::CupsSpooler(CupsOptions options) : options_(options) {}
CupsSpooler::~CupsSpooler() = default;

int CupsSpooler::OnTimeout(http_t* /*http*/, void* self) {
  auto* spooler = static_cast<CupsSpooler*>(self);
  if (spooler->StopRequested()) return 0;
  spooler->waited_ += kSliceSeconds;
  if (spooler->waited_ < spooler->options_.timeoutSeconds) return 1;  // keep waiting
  spooler->timedOut_ = true;
  return 0;
}

OpResult CupsSpooler::Failure(const std::string& what) {
  // After a failed request the connection may be mid-way through it; the
  // next job starts on a fresh one.
  std::string why;
  if (timedOut_) {
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
  timedOut_ = false;
  http_.reset();
  return OpResult::Fail(what + ": " + why);
}

OpResult CupsSpooler::Connect() {
  if (http_) return OpResult::Ok();
  timedOut_ = false;
  const int timeoutMs = static_cast<int>(options_.timeoutSeconds * 1000);
  // The stop flag doubles as the connect's cancel flag.
  int* cancel = const_cast<int*>(reinterpret_cast<const volatile int*>(options_.stopFlag));
  http_.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                           timeoutMs, cancel));
  if (!http_) {
    return OpResult::Fail(std::string("cannot connect to the print server ") + cupsServer() + ": " +
                          (errno != 0 ? std::strerror(errno) : kNotAnswering));
  }
  httpSetTimeout(http_.get(), kSliceSeconds, &CupsSpooler::OnTimeout, this);
  return OpResult::Ok();
}

OpResult CupsSpooler::OpenQueue(const char* name) {
  printer_ = name;
  jobId_ = 0;
  lastJobId_ = 0;
  StartWaiting();
  if (OpResult r = Connect(); !r) return r;
  cups_dest_t* dest = cupsGetNamedDest(http_.get(), name, nullptr);
  if (dest == nullptr) {
    const ipp_status_t status = cupsLastError();
    if (!timedOut_ && !StopRequested() &&
        (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND)) {
      return OpResult::Fail("the print server has no queue \"" + printer_ + "\"");
    }
    return Failure("looking up queue \"" + printer_ + "\"");
  }
  cupsFreeDests(1, dest);
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
  jobId_ = cupsCreateJob(http_.get(), printer_.c_str(), documentName_.c_str(), 0, nullptr);
  if (jobId_ == 0) return Failure("create job on \"" + printer_ + "\"");
  // The data type is always raw: the files are ready for the printer.
  const http_status_t status = cupsStartDocument(http_.get(), printer_.c_str(), jobId_,
                                                 documentName_.c_str(), CUPS_FORMAT_RAW, 1);
  if (status != HTTP_STATUS_CONTINUE) return Failure("send document");
  return OpResult::Ok();
}

OpResult CupsSpooler::BeginPage() { return OpResult::Ok(); }

OpResult CupsSpooler::Write(const void* data, std::size_t size) {
  StartWaiting();
  if (jobId_ == 0) {
    if (OpResult r = CreateJob(); !r) return r;
  }
  if (!http_) return OpResult::Fail("no connection");
  if (cupsWriteRequestData(http_.get(), static_cast<const char*>(data), size) != HTTP_STATUS_CONTINUE) {
    return Failure("write to the job");
  }
  return OpResult::Ok();
}

OpResult CupsSpooler::EndPage() { return OpResult::Ok(); }

OpResult CupsSpooler::EndDocument() {
  if (jobId_ == 0) return OpResult::Ok();  // no data: nothing to print
  if (!http_) return OpResult::Fail("no connection");
  StartWaiting();
  const ipp_status_t status = cupsFinishDocument(http_.get(), printer_.c_str());
  if (status > IPP_STATUS_OK_EVENTS_COMPLETE || timedOut_) return Failure("finish the job");
  lastJobId_ = jobId_;
  jobId_ = 0;
  return OpResult::Ok();
}

void CupsSpooler::AbortDocument() {
  if (jobId_ == 0) return;
  // The connection may still be inside the unfinished request: cancel on a
  // fresh one. While stopping, the cancel gets one short try.
  http_.reset();
  StartWaiting();
  if (Connect()) cupsCancelJob2(http_.get(), printer_.c_str(), jobId_, 1);
  http_.reset();
  jobId_ = 0;
}

void CupsSpooler::CloseQueue() { printer_.clear(); }

OpResult CupsSpooler::JobStates(const char* queue, std::map<int, JobState>* states) {
  states->clear();
  StartWaiting();
  if (OpResult r = Connect(); !r) return r;
  cups_job_t* jobs = nullptr;
  const int n = cupsGetJobs2(http_.get(), &jobs, queue, 0, CUPS_WHICHJOBS_ALL);
  // A server that lists nothing may answer "not found": no job survived.
  if (n < 0 && cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND && !timedOut_) return OpResult::Ok();
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
