#include "platform/posix/posix_printer_link.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "platform/posix/unique_fd.h"

namespace druvo {

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop request

std::string ErrorString(int e) {
  return e != 0 ? std::strerror(e) : "failed for an unknown reason";
}

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

class PosixPrinterLink : public PrinterLink {
 public:
  explicit PosixPrinterLink(PrinterAddress address) : address_(std::move(address)) {}
  ~PosixPrinterLink() override { Close(); }

  OpResult Open(int timeoutMs, const std::function<bool()>& stopping) override {
    Close();
    return address_.kind == PrinterAddress::Kind::Device ? OpenDevice()
                                                         : Connect(timeoutMs, stopping);
  }
  bool IsOpen() const override { return static_cast<bool>(fd_); }
  bool IsSocket() const override { return address_.kind != PrinterAddress::Kind::Device; }

  long long Send(const void* data, std::size_t size, std::string* error) override {
    const long long n =
        IsSocket() ? send(fd_.get(), data, size, MSG_NOSIGNAL) : write(fd_.get(), data, size);
    if (n >= 0) return n;
    if (WouldBlock(errno)) return 0;
    *error = ErrorString(errno);
    return kFailed;
  }
  long long Receive(void* data, std::size_t size, std::string* error) override {
    const long long n = IsSocket() ? recv(fd_.get(), data, size, 0) : read(fd_.get(), data, size);
    if (n > 0) return n;
    if (n == 0) return IsSocket() ? kClosed : 0;  // a device at its end just has nothing
    if (WouldBlock(errno)) return 0;
    *error = ErrorString(errno);
    return kFailed;
  }
  int Wait(bool writing, int ms) override {
    pollfd fd{fd_.get(), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    const int n = poll(&fd, 1, ms);
    if (n < 0 && errno == EINTR) return 0;
    return n;
  }
  long long Unacknowledged() override {
    if (!IsSocket()) return 0;
    int queued = 0;
    return ioctl(fd_.get(), SIOCOUTQ, &queued) == 0 ? queued : 0;
  }
  void ShutdownSending() override { shutdown(fd_.get(), SHUT_WR); }
  void Reset() override {
    if (!fd_) return;
    if (IsSocket()) {
      linger hard{1, 0};
      setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    Close();
  }
  void Close() override { fd_.reset(); }
  int Fd() const override { return fd_.get(); }
  std::string Name() const override {
    return IsSocket() ? address_.host + ":" + std::to_string(address_.port) : address_.path;
  }

 private:
  OpResult OpenDevice();
  OpResult Connect(int timeoutMs, const std::function<bool()>& stopping);
  // The printer's addresses, bounded like a connect; empty on success.
  std::string Resolve(const addrinfo& hints, int timeoutMs, const std::function<bool()>& stopping,
                      addrinfo** found);

  PrinterAddress address_;
  UniqueFd fd_;
};

OpResult PosixPrinterLink::OpenDevice() {
  // O_NONBLOCK: a FIFO without a reader fails (ENXIO) instead of hanging.
  const bool reads = address_.statusQuery || address_.confirm;
  const int flags = (reads ? O_RDWR : O_WRONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  fd_.reset(open(address_.path.c_str(), flags));
  if (!fd_) {
    const int e = errno;
    return OpResult::Fail("cannot open printer " + address_.path + ": " +
                          (e == ENXIO ? std::string("nothing reads from it") : ErrorString(e)));
  }
  return OpResult::Ok();
}

std::string PosixPrinterLink::Resolve(const addrinfo& hints, int timeoutMs,
                                      const std::function<bool()>& stopping, addrinfo** found) {
  // Asked in the background, so that a silent name server is bounded like a
  // connect and a stop request ends the wait. A lookup that cannot be
  // cancelled still writes into its request when it ends: the request
  // then outlives us.
  struct Lookup {
    std::string host, port;
    addrinfo hints;
    gaicb request;
  };
  auto* lookup = new Lookup{address_.host, std::to_string(address_.port), hints, {}};
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->port.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[1] = {&lookup->request};
  if (const int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); rc != 0) {
    delete lookup;
    return gai_strerror(rc);
  }
  const long long end = SteadyMs() + timeoutMs;
  int rc = EAI_INPROGRESS;
  while ((rc = gai_error(&lookup->request)) == EAI_INPROGRESS) {
    const bool stop = stopping();
    if (stop || SteadyMs() >= end) {
      const int cancelled = gai_cancel(&lookup->request);
      if (cancelled == EAI_ALLDONE) continue;  // it just ended
      if (cancelled == EAI_CANCELED) delete lookup;
      return stop ? "stopped"
                  : "no answer from the name server within " + std::to_string(timeoutMs / 1000) +
                        " s";
    }
    const timespec slice{0, kSliceMs * 1000000L};
    gai_suspend(list, 1, &slice);
  }
  std::string why;
  if (rc == 0) {
    *found = lookup->request.ar_result;
  } else {
    why = gai_strerror(rc);
  }
  delete lookup;
  return why;
}

OpResult PosixPrinterLink::Connect(int timeoutMs, const std::function<bool()>& stopping) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const std::string why = Resolve(hints, timeoutMs, stopping, &found); !why.empty())
    return OpResult::Fail("cannot find printer " + Name() + ": " + why);
  const UniqueAddressList addresses(found);
  std::string why = "no address";
  const long long end = SteadyMs() + timeoutMs;
  for (addrinfo* a = found; a != nullptr && !fd_; a = a->ai_next) {
    fd_.reset(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd_) continue;
    if (connect(fd_.get(), a->ai_addr, a->ai_addrlen) == 0) break;
    if (errno != EINPROGRESS) {
      why = ErrorString(errno);
      Close();
      continue;
    }
    const int ready = AwaitConnect(end, timeoutMs, stopping, &why);
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (ready < 0 || (ready > 0 && error != 0)) why = ErrorString(ready < 0 ? errno : error);
    if (ready <= 0 || error != 0) Close();
  }
  if (!fd_) return OpResult::Fail("cannot connect to printer " + Name() + ": " + why);
  // A small send buffer keeps what is in flight, and so the wait for the
  // printer to take it, small.
  int buffer = 64 * 1024;
  setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  return OpResult::Ok();
}

}  // namespace

std::unique_ptr<PrinterLink> MakePrinterLink(const PrinterAddress& address) {
  return std::make_unique<PosixPrinterLink>(address);
}

}  // namespace druvo
