// A byte stream to a printer reached without a spooler: a TCP connection or,
// on POSIX, a device file. Each OS implements it once; the protocol spoken
// over it (DirectPrinter) is the same everywhere, and the tests drive it
// over a fake link.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/clock.h"
#include "spool/ports.h"

namespace druvo {

class PrinterLink {
 public:
  static constexpr long long kClosed = -1;  // Receive: the printer closed its side
  static constexpr long long kFailed = -2;  // Send, Receive: *error says why

  virtual ~PrinterLink() = default;
  // Connects within timeoutMs (or opens the device). stopping() is asked
  // while it waits; true ends the wait.
  virtual OpResult Open(int timeoutMs, const std::function<bool()>& stopping) = 0;
  virtual bool IsOpen() const = 0;
  virtual bool IsSocket() const = 0;
  // Without waiting: the bytes taken (0 when it takes none now), or kFailed.
  virtual long long Send(const void* data, std::size_t size, std::string* error) = 0;
  // Without waiting: the bytes read (0 when none came), kClosed or kFailed.
  virtual long long Receive(void* data, std::size_t size, std::string* error) = 0;
  // Waits at most ms until it would take bytes (writing) or has some (or
  // the printer closed): 1, 0 on timeout, -1 when the link failed.
  virtual int Wait(bool writing, int ms) = 0;
  // Bytes the printer's TCP stack has not acknowledged yet; -1 where the
  // system cannot tell (Windows), 0 for a device.
  virtual long long Unacknowledged() = 0;
  // No more bytes follow; the printer sees the end of the stream.
  virtual void ShutdownSending() = 0;
  // Drops the link at once: what is still queued never reaches the printer.
  virtual void Reset() = 0;
  // Closes it the ordinary way: what is queued is still delivered.
  virtual void Close() = 0;
  // The printer's name for the log: "host:port" or the device path.
  virtual std::string Name() const = 0;
  // A descriptor to wait on for what the printer sends; -1 where there is none.
  virtual int Fd() const { return -1; }

 protected:
  // The wait for a connect under way, a slice at a time, until endMs: 1
  // when it is done (its outcome is the socket's error), 0 when endMs passed
  // or stopping() said so (*late says which), -1 when the wait failed.
  int AwaitConnect(long long endMs, int timeoutMs, const std::function<bool()>& stopping,
                   std::string* late) {
    int ready = 0;
    for (long long left; ready == 0 && !stopping() && (left = endMs - SteadyMs()) > 0;)
      ready = Wait(true, static_cast<int>(left < 100 ? left : 100));
    if (ready == 0)
      *late = stopping() ? "stopped" : "no answer within " + std::to_string(timeoutMs / 1000) + " s";
    return ready;
  }
};

}  // namespace druvo
