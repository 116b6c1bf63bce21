#include "daemon/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/unique_fd.h"

namespace druvo {

namespace {

int g_wakeWrite = -1;  // written by the handler
UniqueFd& WakeRead() {
  static UniqueFd fd;
  return fd;
}
UniqueFd& WakeWrite() {
  static UniqueFd fd;
  return fd;
}

extern "C" void OnSignal(int number) {
  SignalFlags& flags = Signals();
  (number == SIGHUP ? flags.rescan : number == SIGUSR1 ? flags.report : flags.stop) = 1;
  const char byte = 1;
  const int saved = errno;
  (void)!write(g_wakeWrite, &byte, 1);
  errno = saved;
}

}  // namespace

SignalFlags& Signals() {
  static SignalFlags flags;
  return flags;
}

bool CatchSignals(std::string* why) {
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  WakeRead() = UniqueFd(wake[0]);
  WakeWrite() = UniqueFd(wake[1]);
  g_wakeWrite = wake[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(number, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

int WakeFd() { return WakeRead().get(); }

void DrainWake() {
  char sink[64];
  while (read(WakeFd(), sink, sizeof sink) > 0) {
  }
}

void WaitForSignal(int ms) {
  pollfd wake{WakeFd(), POLLIN, 0};
  poll(&wake, 1, ms);
  DrainWake();
}

}  // namespace druvo
