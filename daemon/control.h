// How a running daemon is asked about and watched: the status socket that
// "druvo status" reads, and the notifications systemd's Type=notify expects.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/unique_fd.h"
#include "spool/status_report.h"

namespace druvo {

// The first folder systemd names in the variable (RUNTIME_DIRECTORY,
// STATE_DIRECTORY: it sets them per unit), else the fallback.
std::string SystemdFolder(const char* variable, const std::string& fallback);
// The folder of the status socket: systemd's, else /run/druvo, or
// /run/druvo@INSTANCE for an instance.
std::string RuntimeFolder(const std::string& instance);

// Answers "druvo status" on FOLDER/druvo.sock, from a thread of its own, so
// that a cycle waiting on a printer does not keep the answer waiting. It
// answers with the report last published.
class StatusServer {
 public:
  using Render = std::function<std::string(const EngineReport&, bool json)>;
  StatusServer() = default;
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Takes the socket over unless another druvo answers on it; says why not.
  bool Start(const std::string& folder, Render render, std::string* why);
  void Publish(const EngineReport& report);

 private:
  void Serve();
  std::string Answer(bool json);
  UniqueFd listener_;
  UniqueFd quitRead_, quitWrite_;
  std::string path_;
  Render render_;
  std::mutex lock_;
  EngineReport published_;
  std::thread thread_;
};

// "druvo status [--json] [INSTANCE]": prints the report; 0 healthy, 1 in an
// error state, 3 when no druvo answers (within 5 s), 4 when this user may
// not ask.
int RunStatusCommand(int argc, const char* const* argv);

// systemd's notification socket, when there is one: READY=1, STATUS=...,
// WATCHDOG=1. Does nothing without NOTIFY_SOCKET.
void Notify(const std::string& message);
// Tells systemd's watchdog we are alive, at most once per half period;
// nothing without a watchdog.
void FeedWatchdog();
// Whether systemd watches us, and how often to say we are alive (ms).
long long WatchdogPeriodMs();

}  // namespace druvo
