// Test harness for end-to-end runs on Linux: a private cupsd with a raw queue
// in front of a loopback capture printer, a drop folder, and the real druvo
// daemon as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace druvo::testing {

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Sets a file's modification time (seconds after an arbitrary base), so
// tests decide the print order without sleeping.
void SetWriteTime(const std::string& path, long long secondsAgo);
std::vector<std::string> ListNames(const std::string& folder);
bool Exists(const std::string& path);

// Runs a shell command and returns what it printed (stdout), trailing
// newlines removed; status receives its exit status.
std::string RunCapture(const std::string& command, int* status = nullptr);

// CPU seconds the process has used (user and system).
double CpuSeconds(pid_t pid);

// Polls until cond holds or the bound runs out (a liveness bound, not a
// speed target).
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds bound = std::chrono::seconds(30));

class CupsEnvironment {
 public:
  // extraEnv: e.g. {"DROP_AFTER", "1000"} for the capture printer.
  explicit CupsEnvironment(const std::map<std::string, std::string>& extraEnv = {});
  ~CupsEnvironment();
  CupsEnvironment(const CupsEnvironment&) = delete;
  CupsEnvironment& operator=(const CupsEnvironment&) = delete;

  const std::string& Dir() const { return dir_; }
  const std::string& Socket() const { return socket_; }
  // Runs lpadmin/cupsenable/... against the private server.
  int Admin(const std::string& shellCommand) const;
  void StopServer() const;
  void StartServer() const;
  // SIGSTOP / SIGCONT: the server stops reading, so a job in flight stalls.
  void PauseServer(bool pause) const;
  // SIGKILL, as a crash or a power cut would end it.
  void KillServer() const;
  // Creates the queue again (after a crash lost it), enabled and accepting.
  void RestoreQueue() const;

  // Bytes of each job the printer has received completely, in arrival order.
  std::vector<std::string> Jobs() const;
  bool WaitForJobs(std::size_t count) const;
  // Connections the printer dropped mid-job (with DROP_AFTER).
  std::size_t DroppedConnections() const;

 private:
  // Paths of the capture printer's records whose names end in suffix, sorted.
  std::vector<std::string> PrinterRecords(const std::string& suffix) const;

  std::string dir_;
  std::string socket_;
};

struct DaemonOptions {
  std::string program;            // empty: the druvo daemon under test
  std::vector<std::string> args;  // after the program name
  std::string runAsUser;          // empty: as the test
};

// The druvo daemon under test.
std::string DaemonBinary();

class Daemon {
 public:
  Daemon(const CupsEnvironment& cups, const DaemonOptions& options);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  int Stop(int signal = 15);  // exit status, or 128+signal
  std::string Log() const;
  std::size_t LogCount(const std::string& text) const;
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// A drop folder that lp and unprivileged users can reach.
std::string MakeSharedTempDir(const std::string& tag);
void RemoveTree(const std::string& path);

}  // namespace druvo::testing
