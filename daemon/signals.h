// The daemon's signals: SIGTERM and SIGINT stop it, SIGHUP rescans the
// folder, SIGUSR1 logs its status. Each also writes a byte to a pipe that
// every wait polls, so that a signal just before a wait ends it all the same.
#pragma once

#include <csignal>
#include <string>

namespace druvo {

struct SignalFlags {
  volatile std::sig_atomic_t stop = 0;
  volatile std::sig_atomic_t rescan = 0;
  volatile std::sig_atomic_t report = 0;
};
SignalFlags& Signals();

// Makes the pipe and installs the handlers; false (with why) without a pipe.
bool CatchSignals(std::string* why);
// The pipe's reading end, for poll().
int WakeFd();
// Reads the signals' bytes, or they would end every wait from then on.
void DrainWake();
// Waits up to ms, or until a signal.
void WaitForSignal(int ms);

}  // namespace druvo
