// A printer reached without a spooler: raw TCP (the way the CUPS socket
// backend does it) or, on POSIX, a device file. Every wait is bounded: the
// connect, each write (no progress for a while fails the job), and the wait
// for the printer to take the last byte. Only then is a job done.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

#include "spool/ports.h"
#include "spool/printer_address.h"

struct addrinfo;

namespace druvo {

struct DirectOptions {
  int connectTimeoutMs = 5000;
  int stallTimeoutMs = 10000;  // no progress this long fails the job
  int drainTimeoutMs = 5000;   // for the printer to close after the last byte
  int quietMs = 300;           // ...or to stay silent this long
  int statusTimeoutMs = 1000;  // for each answer to a status query
  // After a stop request, a job under way may finish within this; after it,
  // the connection is reset so the printer gets no more of it.
  int stopGraceMs = 2000;
  const volatile std::sig_atomic_t* stopFlag = nullptr;
  // One-time remarks for the log (a printer that does not answer queries).
  std::function<void(const std::string&)> note;
};

class DirectPrinter : public Spooler {
 public:
  DirectPrinter(PrinterAddress address, DirectOptions options);
  ~DirectPrinter() override;
  DirectPrinter(const DirectPrinter&) = delete;
  DirectPrinter& operator=(const DirectPrinter&) = delete;

  // Connects (or opens the device) and, when asked, checks the status.
  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char*, const char*) override { return OpResult::Ok(); }
  OpResult BeginPage() override { return OpResult::Ok(); }
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndPage() override { return OpResult::Ok(); }
  // Waits, bounded, until the printer has every byte.
  OpResult EndDocument() override;
  // Resets a connection rather than closing it: bytes still queued must not
  // reach the printer after the file was kept to be sent again whole.
  void AbortDocument() override;
  void CloseQueue() override { Close(); }

  // True for a byte that can be an answer to DLE EOT: its fixed bits (0 and
  // 7 clear, 1 and 4 set) match. Anything else is not a status.
  static bool IsStatusByte(unsigned char b) { return (b & 0x93) == 0x12; }
  // Reads the answers to DLE EOT 1, 2 and 4: empty when all is well, else
  // what keeps the printer from printing.
  static std::string StatusProblem(unsigned char printer, unsigned char offline,
                                   unsigned char paper);

 private:
  enum class Wait { Ready, TimedOut, Stopped, Failed };
  Wait WaitFor(bool writing, int timeoutMs);
  OpResult Connect();
  // The printer's addresses, bounded like a connect; empty on success.
  std::string Resolve(const std::string& host, const std::string& port, const addrinfo& hints,
                      addrinfo** found);
  OpResult OpenDevice();
  OpResult CheckStatus();
  void Close();
  bool Stopping();
  // Reads and drops what the printer sends unasked; false when it closed the
  // connection or the read failed.
  bool DiscardInput();
  std::string Name() const;

  PrinterAddress address_;
  DirectOptions options_;
  std::intptr_t handle_ = -1;  // a socket or a file descriptor
  bool isSocket_ = false;
  bool noStatusNoted_ = false;
  long long stopSeenMs_ = -1;
};

}  // namespace druvo
