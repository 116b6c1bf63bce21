// The print queue on CUPS: one job per document, sent as raw data over one
// connection to the server that is kept between jobs.
#pragma once

#include <memory>
#include <string>

#include "spool/ports.h"

typedef struct _http_s http_t;

namespace druvo {

class CupsSpooler : public Spooler {
 public:
  CupsSpooler();
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

 private:
  struct HttpCloser {
    void operator()(http_t* http) const;
  };
  OpResult Connect();
  OpResult CreateJob();
  OpResult Failure(const std::string& what);  // drops the connection

  std::unique_ptr<http_t, HttpCloser> http_;
  std::string printer_;
  std::string documentName_;
  int jobId_ = 0;
};

}  // namespace druvo
