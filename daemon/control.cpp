#include "daemon/control.h"

#include "core/clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace druvo {

namespace {

constexpr const char* kSocketName = "/druvo.sock";

bool AddressFor(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A socket connected to PATH, or none.
UniqueFd ConnectTo(const std::string& path) {
  sockaddr_un address;
  UniqueFd fd(AddressFor(path, &address) ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1);
  if (fd && connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    fd.reset();
  return fd;
}

}  // namespace

std::string SystemdFolder(const char* variable, const std::string& fallback) {
  const char* folders = std::getenv(variable);
  if (folders == nullptr || *folders == '\0') return fallback;
  return std::string(folders).substr(0, std::string(folders).find(':'));
}

std::string RuntimeFolder(const std::string& instance) {
  return SystemdFolder("RUNTIME_DIRECTORY",
                       instance.empty() ? "/run/druvo" : "/run/druvo@" + instance);
}

StatusServer::~StatusServer() {
  if (!thread_.joinable()) return;
  (void)!write(quitWrite_.get(), "q", 1);
  thread_.join();
  unlink(path_.c_str());
}

bool StatusServer::Start(const std::string& folder, Render render, std::string* why) {
  path_ = folder + kSocketName;
  sockaddr_un address;
  if (!AddressFor(path_, &address)) {
    *why = path_ + ": the path is too long";
    return false;
  }
  if (ConnectTo(path_)) {
    *why = "another druvo answers on " + path_;
    return false;
  }
  mkdir(folder.c_str(), 0750);
  unlink(path_.c_str());  // left by a druvo that ended without cleaning up
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int quit[2];
  if (!fd || bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd.get(), SOMAXCONN) != 0 || pipe2(quit, O_CLOEXEC) != 0 ||
      fcntl(fd.get(), F_SETFL, O_NONBLOCK) != 0) {
    *why = path_ + ": " + std::strerror(errno);
    return false;
  }
  // Root and the service's group may ask; the folder's mode decides the rest.
  chmod(path_.c_str(), 0660);
  listener_ = std::move(fd);
  quitRead_.reset(quit[0]);
  quitWrite_.reset(quit[1]);
  render_ = std::move(render);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void StatusServer::Publish(const EngineReport& report) {
  std::lock_guard<std::mutex> guard(lock_);
  published_ = report;
}

namespace {

// Clients are answered side by side: one that says nothing, or reads
// nothing, holds only its own slot, for a bounded time.
constexpr long long kAskMs = 1000;    // for the client's byte; then text
constexpr long long kSendMs = 2000;   // for the answer to go out
constexpr std::size_t kClients = 64;  // past this, the oldest is dropped

struct StatusClient {
  UniqueFd fd;
  long long deadline = 0;
  std::string out;  // the answer, once known
  std::size_t sent = 0;
};

}  // namespace

void StatusServer::Serve() {
  std::vector<StatusClient> clients;
  std::vector<pollfd> fds;
  for (;;) {
    long long now = SteadyMs();
    long long wait = -1;
    fds.assign({{quitRead_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
    for (const StatusClient& c : clients) {
      fds.push_back({c.fd.get(), static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
      wait = wait < 0 ? c.deadline - now : std::min(wait, c.deadline - now);
    }
    if (poll(fds.data(), fds.size(), wait < 0 ? -1 : static_cast<int>(std::max(wait, 0LL))) < 0 &&
        errno != EINTR)
      return;
    if ((fds[0].revents & POLLIN) != 0) return;
    now = SteadyMs();
    for (std::size_t i = 0; i < clients.size(); ++i) {
      StatusClient& c = clients[i];
      const short events = fds[i + 2].revents;
      if (c.out.empty() && ((events & (POLLIN | POLLHUP)) != 0 || now >= c.deadline)) {
        // The client says first how it wants the answer: one byte, 'j' for
        // JSON. One that says nothing gets text.
        char how = 't';
        if ((events & POLLIN) == 0 || read(c.fd.get(), &how, 1) != 1) how = 't';
        c.out = Answer(how == 'j');
        c.deadline = now + kSendMs;
      } else if (!c.out.empty() && (events & POLLOUT) != 0) {
        const ssize_t n = send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) c.sent += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) c.sent = c.out.size();
      } else if (!c.out.empty() && now >= c.deadline) {
        c.sent = c.out.size();  // it reads nothing: given up
      }
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(),
                                 [](const StatusClient& c) {
                                   return !c.out.empty() && c.sent == c.out.size();
                                 }),
                  clients.end());
    if ((fds[1].revents & POLLIN) == 0) continue;
    for (;;) {
      UniqueFd client(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!client) break;
      if (clients.size() >= kClients) clients.erase(clients.begin());
      clients.push_back(StatusClient{std::move(client), now + kAskMs, {}, 0});
    }
  }
}

std::string StatusServer::Answer(bool json) {
  EngineReport report;
  {
    std::lock_guard<std::mutex> guard(lock_);
    report = published_;
  }
  return render_(report, json);
}

namespace {

// Connects to the status socket within the bound; 0, or the errno.
int ConnectStatus(const std::string& path, long long end, UniqueFd* fd) {
  sockaddr_un address;
  if (!AddressFor(path, &address)) return ENAMETOOLONG;
  fd->reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!*fd) return errno;
  while (connect(fd->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    if (code != EAGAIN || SteadyMs() >= end) return code;  // a full backlog: try again
    usleep(20000);
  }
  return 0;
}

// The whole answer, or false when it did not come by the end.
bool ReadAnswer(int fd, long long end, std::string* answer) {
  char buffer[4096];
  for (;;) {
    pollfd in{fd, POLLIN, 0};
    const long long left = end - SteadyMs();
    if (left <= 0 || poll(&in, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return true;
    answer->append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

int RunStatusCommand(int argc, const char* const* argv) {
  bool json = false;
  std::string instance;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (instance.empty() && !arg.empty() && arg[0] != '-') {
      instance = arg;
    } else {
      std::fprintf(stderr, "usage: druvo status [--json] [INSTANCE]\n");
      return 2;
    }
  }
  const std::string path = RuntimeFolder(instance) + kSocketName;
  const std::string who = instance.empty() ? "" : " instance " + instance;
  // Bounded whatever the daemon or other clients do.
  constexpr long long kBoundMs = 5000;
  const long long end = SteadyMs() + kBoundMs;
  UniqueFd fd;
  const int code = ConnectStatus(path, end, &fd);
  if (code == EACCES || code == EPERM) {
    std::fprintf(stderr,
                 "druvo: permission denied: is this user in group druvo? (%s cannot be reached: "
                 "%s)\n",
                 path.c_str(), std::strerror(code));
    return 4;
  }
  if (code != 0) {
    std::fprintf(stderr, "druvo: no druvo%s is running (nothing answers on %s: %s)\n", who.c_str(),
                 path.c_str(), std::strerror(code));
    return 3;
  }
  const char how = json ? 'j' : 't';
  (void)!write(fd.get(), &how, 1);
  std::string answer;
  if (!ReadAnswer(fd.get(), end, &answer)) {
    std::fprintf(stderr, "druvo: druvo%s did not answer on %s within %lld s\n", who.c_str(),
                 path.c_str(), kBoundMs / 1000);
    return 3;
  }
  std::fputs(answer.c_str(), stdout);
  const bool error =
      answer.find(json ? "\"state\":\"error\"" : "\nState: error") != std::string::npos;
  return error ? 1 : 0;
}

void Notify(const std::string& message) {
  const char* where = std::getenv("NOTIFY_SOCKET");
  if (where == nullptr || (where[0] != '/' && where[0] != '@')) return;
  sockaddr_un address;
  if (!AddressFor(where, &address)) return;
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // the abstract namespace
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return;
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(where));
  (void)!sendto(fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&address), length);
}

long long WatchdogPeriodMs() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec == nullptr) return 0;
  if (pid != nullptr && std::atoll(pid) != static_cast<long long>(getpid())) return 0;
  return std::atoll(usec) / 1000 / 2;  // twice per period, as systemd advises
}

void FeedWatchdog() {
  static const long long periodMs = WatchdogPeriodMs();
  static long long lastMs = 0;
  if (periodMs <= 0 || SteadyMs() - lastMs < periodMs) return;
  lastMs = SteadyMs();
  Notify("WATCHDOG=1");
}

}  // namespace druvo
