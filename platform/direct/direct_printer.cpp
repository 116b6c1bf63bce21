#include "platform/direct/direct_printer.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace druvo {

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop flag
constexpr const char* kStoppedMidJob =
    "stopped mid-job; the connection was reset, so the printer gets no more of it";

// The ESC/POS real-time status requests.
constexpr unsigned char kStatusQuery[3][3] = {{0x10, 0x04, 1}, {0x10, 0x04, 2}, {0x10, 0x04, 4}};

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

#ifdef _WIN32
using Native = SOCKET;
Native AsNative(std::intptr_t h) { return static_cast<Native>(h); }
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
bool InProgress(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
std::string ErrorString(int e) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(e), 0, text, sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return (out.empty() ? "error" : out) + " (code " + std::to_string(e) + ")";
}
void CloseNative(std::intptr_t h, bool) { closesocket(AsNative(h)); }
void ResetNative(std::intptr_t h) {
  linger hard{1, 0};
  setsockopt(AsNative(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  closesocket(AsNative(h));
}
void SetNonBlocking(std::intptr_t h) {
  u_long on = 1;
  ioctlsocket(AsNative(h), FIONBIO, &on);
}
bool StartNetwork() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
// select, not WSAPoll: Windows XP has no WSAPoll. Asked with a zero timeout,
// then a short sleep: WaitFor paces the wait by our own clock, so a select
// that oversleeps its timeout (seen under Wine) cannot hold the tray past it.
int WaitNative(std::intptr_t h, bool, bool writing, int ms) {
  fd_set ready, broken;
  FD_ZERO(&ready);
  FD_ZERO(&broken);
  FD_SET(AsNative(h), &ready);
  FD_SET(AsNative(h), &broken);
  timeval now{0, 0};
  const int n = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &broken, &now);
  if (n == 0 && ms > 0) Sleep(ms < 2 ? static_cast<DWORD>(ms) : 2);
  return n < 0 ? -1 : n;
}
long long SendNative(std::intptr_t h, bool, const void* data, std::size_t size) {
  return send(AsNative(h), static_cast<const char*>(data),
              static_cast<int>(size > 65536 ? 65536 : size), 0);
}
long long ReceiveNative(std::intptr_t h, bool, void* data, std::size_t size) {
  return recv(AsNative(h), static_cast<char*>(data), static_cast<int>(size), 0);
}
// Windows cannot tell how much the printer has acknowledged.
long long Unacknowledged(std::intptr_t) { return 0; }
void ShutdownSending(std::intptr_t h) { shutdown(AsNative(h), SD_SEND); }
#else
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }
bool InProgress(int e) { return e == EINPROGRESS; }
std::string ErrorString(int e) {
  return e != 0 ? std::strerror(e) : "failed for an unknown reason";
}
void CloseNative(std::intptr_t h, bool) { close(static_cast<int>(h)); }
void ResetNative(std::intptr_t h) {
  linger hard{1, 0};
  setsockopt(static_cast<int>(h), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(static_cast<int>(h));
}
void SetNonBlocking(std::intptr_t h) {
  const int flags = fcntl(static_cast<int>(h), F_GETFL);
  fcntl(static_cast<int>(h), F_SETFL, flags | O_NONBLOCK);
}
bool StartNetwork() { return true; }
int WaitNative(std::intptr_t h, bool, bool writing, int ms) {
  pollfd fd{static_cast<int>(h), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
  const int n = poll(&fd, 1, ms);
  if (n < 0 && errno == EINTR) return 0;
  return n;
}
long long SendNative(std::intptr_t h, bool socket, const void* data, std::size_t size) {
  const int fd = static_cast<int>(h);
  return socket ? send(fd, data, size, MSG_NOSIGNAL) : write(fd, data, size);
}
long long ReceiveNative(std::intptr_t h, bool socket, void* data, std::size_t size) {
  const int fd = static_cast<int>(h);
  return socket ? recv(fd, data, size, 0) : read(fd, data, size);
}
// Bytes sent but not yet acknowledged by the printer's TCP stack.
long long Unacknowledged(std::intptr_t h) {
  int queued = 0;
  return ioctl(static_cast<int>(h), SIOCOUTQ, &queued) == 0 ? queued : 0;
}
void ShutdownSending(std::intptr_t h) { shutdown(static_cast<int>(h), SHUT_WR); }
#endif

#ifdef _WIN32
SOCKET AsNativeSocket(std::intptr_t h) { return static_cast<SOCKET>(h); }
int AddressLength(const addrinfo* a) { return static_cast<int>(a->ai_addrlen); }
#else
int AsNativeSocket(std::intptr_t h) { return static_cast<int>(h); }
socklen_t AddressLength(const addrinfo* a) { return a->ai_addrlen; }
#endif

}  // namespace

#ifdef _WIN32
std::string DirectPrinter::Resolve(const std::string& host, const std::string& port,
                                   const addrinfo& hints, addrinfo** found) {
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, found);
  return rc == 0 ? std::string() : gai_strerror(rc);
}
#else
std::string DirectPrinter::Resolve(const std::string& host, const std::string& port,
                                   const addrinfo& hints, addrinfo** found) {
  // Asked in the background, so that a silent name server is bounded like a
  // connect and a stop request ends the wait. A lookup that cannot be
  // cancelled still writes into its request when it ends: the request
  // then outlives us.
  struct Lookup {
    std::string host, port;
    addrinfo hints;
    gaicb request;
  };
  auto* lookup = new Lookup{host, port, hints, {}};
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->port.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[1] = {&lookup->request};
  if (const int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); rc != 0) {
    delete lookup;
    return gai_strerror(rc);
  }
  const long long end = NowMs() + options_.connectTimeoutMs;
  int rc = EAI_INPROGRESS;
  while ((rc = gai_error(&lookup->request)) == EAI_INPROGRESS) {
    const bool stopping = Stopping();
    if (stopping || NowMs() >= end) {
      const int cancelled = gai_cancel(&lookup->request);
      if (cancelled == EAI_ALLDONE) continue;  // it just ended
      if (cancelled == EAI_CANCELED) delete lookup;
      return stopping ? "stopped"
                      : "no answer from the name server within " +
                            std::to_string(options_.connectTimeoutMs / 1000) + " s";
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
#endif

DirectPrinter::DirectPrinter(PrinterAddress address, DirectOptions options)
    : address_(std::move(address)), options_(std::move(options)) {}

DirectPrinter::~DirectPrinter() { Close(); }

std::string DirectPrinter::Name() const {
  return address_.kind == PrinterAddress::Kind::Device
             ? address_.path
             : address_.host + ":" + std::to_string(address_.port);
}

void DirectPrinter::Close() {
  if (handle_ != -1) CloseNative(handle_, isSocket_);
  handle_ = -1;
}

void DirectPrinter::AbortDocument() {
  if (handle_ != -1 && isSocket_) {
    ResetNative(handle_);
    handle_ = -1;
  }
  Close();
}

bool DirectPrinter::Stopping() {
  if (options_.stopFlag == nullptr || *options_.stopFlag == 0) return false;
  if (stopSeenMs_ < 0) stopSeenMs_ = NowMs();
  return NowMs() - stopSeenMs_ >= options_.stopGraceMs;
}

bool DirectPrinter::DiscardInput() {
  char sink[512];
  for (;;) {
    const long long n = ReceiveNative(handle_, isSocket_, sink, sizeof sink);
    if (n > 0) continue;
    return n < 0 && WouldBlock(LastError());
  }
}

DirectPrinter::Wait DirectPrinter::WaitFor(bool writing, int timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    if (Stopping()) return Wait::Stopped;
    const long long left = end - NowMs();
    if (left <= 0) return Wait::TimedOut;
    const int n = WaitNative(handle_, isSocket_, writing,
                             static_cast<int>(left < kSliceMs ? left : kSliceMs));
    if (n > 0) return Wait::Ready;
    if (n < 0) return Wait::Failed;
  }
}

OpResult DirectPrinter::OpenQueue(const char* /*name*/) {
  Close();
  OpResult opened = address_.kind == PrinterAddress::Kind::Device ? OpenDevice() : Connect();
  if (!opened) return opened;
  if (address_.statusQuery) {
    if (OpResult status = CheckStatus(); !status) {
      Close();
      return status;
    }
  }
  return OpResult::Ok();
}

OpResult DirectPrinter::Connect() {
  if (!StartNetwork()) return OpResult::Fail("the network is not available");
  isSocket_ = true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address_.port);
  if (const std::string why = Resolve(address_.host, port, hints, &found); !why.empty())
    return OpResult::Fail("cannot find printer " + Name() + ": " + why);
  std::string why = "no address";
  const long long end = NowMs() + options_.connectTimeoutMs;
  for (addrinfo* a = found; a != nullptr && handle_ == -1; a = a->ai_next) {
    const auto s = static_cast<std::intptr_t>(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (s == -1) continue;
    handle_ = s;
    SetNonBlocking(handle_);
    if (connect(AsNativeSocket(handle_), a->ai_addr, AddressLength(a)) != 0) {
      const int e = LastError();
      if (!InProgress(e)) {
        why = ErrorString(e);
        Close();
        continue;
      }
      const long long left = end - NowMs();
      const Wait w = WaitFor(true, left > 0 ? static_cast<int>(left) : 0);
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(AsNativeSocket(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                 &length);
      if (w != Wait::Ready || error != 0) {
        why = w == Wait::TimedOut
                  ? "no answer within " + std::to_string(options_.connectTimeoutMs / 1000) + " s"
              : w == Wait::Stopped ? "stopped"
                                   : ErrorString(error);
        Close();
      }
    }
  }
  freeaddrinfo(found);
  if (handle_ == -1) return OpResult::Fail("cannot connect to printer " + Name() + ": " + why);
  // A small send buffer keeps what is in flight, and so the wait for the
  // printer to take it, small.
  int buffer = 64 * 1024;
  setsockopt(AsNativeSocket(handle_), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer),
             sizeof buffer);
  return OpResult::Ok();
}

OpResult DirectPrinter::OpenDevice() {
  isSocket_ = false;
#ifdef _WIN32
  return OpResult::Fail("device paths are for POSIX systems");
#else
  // O_NONBLOCK: a FIFO without a reader fails (ENXIO) instead of hanging.
  const int flags = (address_.statusQuery ? O_RDWR : O_WRONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = open(address_.path.c_str(), flags);
  if (fd < 0) {
    const int e = errno;
    return OpResult::Fail("cannot open printer " + address_.path + ": " +
                          (e == ENXIO ? std::string("nothing reads from it") : ErrorString(e)));
  }
  handle_ = fd;
  return OpResult::Ok();
#endif
}

std::string DirectPrinter::StatusProblem(unsigned char printer, unsigned char offline,
                                         unsigned char paper) {
  if ((paper & 0x60) != 0 || (offline & 0x20) != 0) return "paper out";
  if ((offline & 0x04) != 0) return "cover open";
  if ((printer & 0x08) != 0) return "offline";
  return std::string();
}

OpResult DirectPrinter::CheckStatus() {
  // A greeting or anything else sent before the query is not an answer.
  if (isSocket_) DiscardInput();
  unsigned char answers[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (SendNative(handle_, isSocket_, kStatusQuery[i], 3) != 3) {
      return OpResult::Fail("printer " + Name() +
                            ": status query failed: " + ErrorString(LastError()));
    }
    const Wait w = WaitFor(false, options_.statusTimeoutMs);
    if (w == Wait::Stopped) return OpResult::Fail("stopped");
    long long got = w == Wait::Ready ? ReceiveNative(handle_, isSocket_, &answers[i], 1) : -1;
    if (got != 1 || !IsStatusByte(answers[i])) {
      // A printer that does not know the query still prints; so does a
      // device that answers something else (a FIFO reads back our query).
      if (!noStatusNoted_ && options_.note) {
        options_.note("printer " + Name() + " does not answer status queries" +
                      (got == 1 ? " (it answered something else)" : "") + "; printing anyway");
      }
      noStatusNoted_ = true;
      return OpResult::Ok();
    }
  }
  const std::string problem = StatusProblem(answers[0], answers[1], answers[2]);
  if (!problem.empty()) return OpResult::Fail("printer " + Name() + ": " + problem);
  return OpResult::Ok();
}

OpResult DirectPrinter::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const long long n = SendNative(handle_, isSocket_, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    const int e = LastError();
    if (n < 0 && !WouldBlock(e)) {
      return OpResult::Fail("printer " + Name() + " " +
                            (isSocket_ ? "dropped the connection: " : "refused the data: ") +
                            ErrorString(e));
    }
    const Wait w = WaitFor(true, options_.stallTimeoutMs);
    if (w == Wait::TimedOut) {
      return OpResult::Fail("printer " + Name() + " took no data for " +
                            std::to_string(options_.stallTimeoutMs / 1000) +
                            " s (paper out or offline?)");
    }
    if (w == Wait::Stopped) return OpResult::Fail(kStoppedMidJob);
    if (w == Wait::Failed)
      return OpResult::Fail("printer " + Name() + ": " + ErrorString(LastError()));
  }
  return OpResult::Ok();
}

OpResult DirectPrinter::EndDocument() {
  if (!isSocket_) return OpResult::Ok();  // a device has taken what write() took
  // Every byte acknowledged by the printer, with progress at least every
  // stall period; then no more to send; then the printer closes or goes quiet.
  long long left = Unacknowledged(handle_);
  long long lastProgress = NowMs();
  while (left > 0) {
    if (Stopping()) return OpResult::Fail(kStoppedMidJob);
    if (NowMs() - lastProgress > options_.stallTimeoutMs) {
      return OpResult::Fail("printer " + Name() + " took no data for " +
                            std::to_string(options_.stallTimeoutMs / 1000) + " s (" +
                            std::to_string(left) + " bytes not taken)");
    }
    // A printer that talks meanwhile (status, greetings) must not make this
    // wait spin.
    if (WaitFor(false, 10) == Wait::Ready && !DiscardInput()) {
      return OpResult::Fail("printer " + Name() + " closed the connection with " +
                            std::to_string(left) + " bytes not taken");
    }
    const long long now = Unacknowledged(handle_);
    if (now < left) lastProgress = NowMs();
    left = now;
  }
  ShutdownSending(handle_);
  const long long end = NowMs() + options_.drainTimeoutMs;
  char sink[512];
  while (NowMs() < end) {
    const Wait w = WaitFor(false, options_.quietMs);
    if (w != Wait::Ready) break;  // quiet, or stopped: the printer has it all
    const long long n = ReceiveNative(handle_, isSocket_, sink, sizeof sink);
    if (n == 0) break;  // the printer closed: done
    if (n < 0 && !WouldBlock(LastError())) {
      return OpResult::Fail("printer " + Name() +
                            " dropped the connection: " + ErrorString(LastError()));
    }
  }
  Close();
  return OpResult::Ok();
}

}  // namespace druvo
