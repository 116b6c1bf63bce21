#include "platform/posix/cups_spooler.h"

#include <cups/cups.h>
#include <sys/socket.h>

namespace druvo {

namespace {
constexpr int kConnectTimeoutMs = 30000;
}  // namespace

void CupsSpooler::HttpCloser::operator()(http_t* http) const { httpClose(http); }

CupsSpooler::CupsSpooler() = default;
CupsSpooler::~CupsSpooler() = default;

OpResult CupsSpooler::Failure(const std::string& what) {
  // After a failed request the connection may be mid-way through it; the
  // next job starts on a fresh one.
  std::string why = what + ": " + cupsLastErrorString();
  http_.reset();
  return OpResult::Fail(why);
}

OpResult CupsSpooler::Connect() {
  if (http_) return OpResult::Ok();
  http_.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                           kConnectTimeoutMs, nullptr));
  if (!http_) return Failure(std::string("cannot connect to the print server ") + cupsServer());
  return OpResult::Ok();
}

OpResult CupsSpooler::OpenQueue(const char* name) {
  printer_ = name;
  jobId_ = 0;
  if (OpResult r = Connect(); !r) return r;
  cups_dest_t* dest = cupsGetNamedDest(http_.get(), name, nullptr);
  if (dest == nullptr) {
    const ipp_status_t status = cupsLastError();
    if (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND) {
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
  const ipp_status_t status = cupsFinishDocument(http_.get(), printer_.c_str());
  if (status > IPP_STATUS_OK_EVENTS_COMPLETE) return Failure("finish the job");
  jobId_ = 0;
  return OpResult::Ok();
}

void CupsSpooler::AbortDocument() {
  if (jobId_ == 0) return;
  // The connection may still be inside the unfinished request: cancel on a
  // fresh one.
  http_.reset();
  if (Connect()) cupsCancelJob2(http_.get(), printer_.c_str(), jobId_, 1);
  jobId_ = 0;
}

void CupsSpooler::CloseQueue() { printer_.clear(); }

}  // namespace druvo
