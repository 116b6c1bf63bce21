#include "daemon/control.h"

#include "core/clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
      listen(fd.get(), 8) != 0 || pipe2(quit, O_CLOEXEC) != 0) {
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

void StatusServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{quitRead_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) return;
    if ((fds[1].revents & POLLIN) == 0) continue;
    const UniqueFd client(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client) Answer(client.get());
  }
}

void StatusServer::Answer(int client) {
  // The client says first how it wants the answer: one byte, 'j' for JSON.
  pollfd wait{client, POLLIN, 0};
  char how = 't';
  if (poll(&wait, 1, 1000) <= 0 || read(client, &how, 1) != 1) how = 't';
  EngineReport report;
  {
    std::lock_guard<std::mutex> guard(lock_);
    report = published_;
  }
  const std::string text = render_(report, how == 'j');
  // A client that does not read cannot hold this thread for long.
  timeval bound{2, 0};
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  (void)!send(client, text.data(), text.size(), MSG_NOSIGNAL);
}

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
  const UniqueFd fd = ConnectTo(path);
  if (!fd) {
    std::fprintf(stderr, "druvo: no druvo%s is running (nothing answers on %s: %s)\n",
                 instance.empty() ? "" : (" instance " + instance).c_str(), path.c_str(),
                 std::strerror(errno));
    return 3;
  }
  const char how = json ? 'j' : 't';
  (void)!write(fd.get(), &how, 1);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = read(fd.get(), buffer, sizeof buffer)) > 0;)
    answer.append(buffer, static_cast<std::size_t>(n));
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

}  // namespace druvo

namespace druvo {

void FeedWatchdog() {
  static const long long periodMs = WatchdogPeriodMs();
  static long long lastMs = 0;
  if (periodMs <= 0 || SteadyMs() - lastMs < periodMs) return;
  lastMs = SteadyMs();
  Notify("WATCHDOG=1");
}

}  // namespace druvo
