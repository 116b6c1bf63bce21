#include "platform/win32/win32_printer_link.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "core/clock.h"
#include "platform/win32/win32_handles.h"

namespace druvo {

namespace {

std::string ErrorString(int e) { return ErrorText("", static_cast<DWORD>(e)); }

bool StartNetwork() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// One owner for a socket.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { reset(); }
  SOCKET get() const { return s_; }
  explicit operator bool() const { return s_ != INVALID_SOCKET; }
  void reset(SOCKET s = INVALID_SOCKET) {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = s;
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

struct AddressListFreer {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

class Win32PrinterLink : public PrinterLink {
 public:
  explicit Win32PrinterLink(PrinterAddress address) : address_(std::move(address)) {}
  ~Win32PrinterLink() override { Close(); }

  OpResult Open(int timeoutMs, const std::function<bool()>& stopping) override;
  bool IsOpen() const override { return static_cast<bool>(socket_); }
  bool IsSocket() const override { return true; }

  long long Send(const void* data, std::size_t size, std::string* error) override {
    const int n = send(socket_.get(), static_cast<const char*>(data),
                       static_cast<int>(size > 65536 ? 65536 : size), 0);
    if (n >= 0) return n;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return 0;
    *error = ErrorString(e);
    return kFailed;
  }
  long long Receive(void* data, std::size_t size, std::string* error) override {
    const int n = recv(socket_.get(), static_cast<char*>(data), static_cast<int>(size), 0);
    if (n > 0) return n;
    if (n == 0) return kClosed;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return 0;
    *error = ErrorString(e);
    return kFailed;
  }
  // Asked with a zero timeout, then a short sleep: the caller paces the wait
  // by its own clock, so a select that oversleeps its timeout (seen under
  // Wine) cannot hold it past its bound.
  int Wait(bool writing, int ms) override {
    fd_set ready, broken;
    FD_ZERO(&ready);
    FD_ZERO(&broken);
    FD_SET(socket_.get(), &ready);
    FD_SET(socket_.get(), &broken);
    timeval now{0, 0};
    const int n = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &broken, &now);
    if (n == 0 && ms > 0) Sleep(ms < 2 ? static_cast<DWORD>(ms) : 2);
    return n < 0 ? -1 : n;
  }
  // Windows (from XP on) cannot tell how much the printer has acknowledged.
  long long Unacknowledged() override { return -1; }
  void ShutdownSending() override { shutdown(socket_.get(), SD_SEND); }
  void Reset() override {
    if (!socket_) return;
    linger hard{1, 0};
    setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
               sizeof hard);
    Close();
  }
  void Close() override { socket_.reset(); }
  std::string Name() const override { return address_.host + ":" + std::to_string(address_.port); }

 private:
  PrinterAddress address_;
  UniqueSocket socket_;
};

OpResult Win32PrinterLink::Open(int timeoutMs, const std::function<bool()>& stopping) {
  Close();
  if (address_.kind == PrinterAddress::Kind::Device)
    return OpResult::Fail("device paths are for POSIX systems");
  if (!StartNetwork()) return OpResult::Fail("the network is not available");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address_.port);
  if (const int rc = getaddrinfo(address_.host.c_str(), port.c_str(), &hints, &found); rc != 0)
    return OpResult::Fail("cannot find printer " + Name() + ": " + gai_strerror(rc));
  std::string why = "no address";
  const long long end = SteadyMs() + timeoutMs;
  const std::unique_ptr<addrinfo, AddressListFreer> addresses(found);
  for (addrinfo* a = found; a != nullptr && !socket_; a = a->ai_next) {
    socket_.reset(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (!socket_) continue;
    u_long on = 1;
    ioctlsocket(socket_.get(), FIONBIO, &on);
    if (connect(socket_.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) break;
    const int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) {
      why = ErrorString(e);
      Close();
      continue;
    }
    const int ready = AwaitConnect(end, timeoutMs, stopping, &why);
    int error = 0;
    int length = sizeof error;
    getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (ready < 0 || (ready > 0 && error != 0))
      why = ErrorString(ready < 0 ? WSAGetLastError() : error);
    if (ready <= 0 || error != 0) Close();
  }
  if (!socket_) return OpResult::Fail("cannot connect to printer " + Name() + ": " + why);
  int buffer = 64 * 1024;
  setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer),
             sizeof buffer);
  return OpResult::Ok();
}

}  // namespace

std::unique_ptr<PrinterLink> MakePrinterLink(const PrinterAddress& address) {
  return std::make_unique<Win32PrinterLink>(address);
}

}  // namespace druvo
