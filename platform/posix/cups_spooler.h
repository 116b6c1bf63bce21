// The print queue on CUPS: one job per document, sent as raw data over one
// connection to the server that is kept between jobs. Every request and write
// is bounded in time, and a stop request cuts any wait short.
#pragma once

#include <csignal>
#include <memory>
#include <string>

#include "spool/ports.h"

typedef struct _http_s http_t;

namespace druvo {

struct CupsOptions {
  // No progress for this long fails the request: "print server not answering".
  double timeoutSeconds = 30.0;
  const volatile std::sig_atomic_t* stopFlag = nullptr;
};

class CupsSpooler : public Spooler {
 public:
  explicit CupsSpooler(CupsOptions options = {});
  ~CupsSpooler() override;
  CupsSpooler(const CupsSpooler&) = delete;
  CupsSpooler& operator=(const CupsSpooler&) = delete;

  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char* documentName, const char* dataType) override;
  OpResult BeginPage() override;
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndPage() override;
  OpResult EndDocument() override;
  void AbortDocument() override;
  void CloseQueue() override;
  int LastJobId() const override { return lastJobId_; }
  OpResult JobStates(const char* queue, std::map<int, JobState>* states) override;

 private:
  struct HttpCloser {
    void operator()(http_t* http) const;
  };
  static int OnTimeout(http_t* http, void* self);
  bool StopRequested() const { return options_.stopFlag != nullptr && *options_.stopFlag != 0; }
  void StartWaiting() { waited_ = 0; }
  OpResult Connect();
  OpResult CreateJob();
  OpResult Failure(const std::string& what);  // drops the connection

  CupsOptions options_;
  std::unique_ptr<http_t, HttpCloser> http_;
  std::string printer_;
  std::string documentName_;
  int jobId_ = 0;
  int lastJobId_ = 0;
  double waited_ = 0;
  bool timedOut_ = false;
};

}  // namespace druvo
