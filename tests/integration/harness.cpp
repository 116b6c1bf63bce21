#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef DRUVO_BINARY
#error "DRUVO_BINARY must name the daemon under test"
#endif
#ifndef DRUVO_CUPSENV
#error "DRUVO_CUPSENV must name the cupsenv.sh script"
#endif

namespace druvo::testing {

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  // Written under a hidden name and renamed, like a careful producer, so the
  // daemon never sees it half-way.
  const std::size_t slash = path.rfind('/');
  static int counter = 0;
  const std::string tmp = path.substr(0, slash + 1) + ".partial-" + std::to_string(++counter);
  {
    std::ofstream out(tmp, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  chmod(tmp.c_str(), 0644);
  SetWriteTime(tmp, 10);
  if (rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("rename " + path);
}

void SetWriteTime(const std::string& path, long long secondsAgo) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= static_cast<time_t>(secondsAgo);
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

std::string MakeSharedTempDir(const std::string& tag) {
  std::string tmpl = "/tmp/druvo-" + tag + "-XXXXXX";
  std::vector<char> buffer(tmpl.begin(), tmpl.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp");
  // mkdtemp makes 0700 folders; lp and test users must get in.
  chmod(buffer.data(), 0777);
  return buffer.data();
}

void RemoveTree(const std::string& path) {
  if (path.size() > 5) (void)!std::system(("rm -rf '" + path + "'").c_str());
}

std::string RunCapture(const std::string& command, int* status) {
  std::string out;
  int rc = -1;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
    rc = pclose(p);
  }
  if (status != nullptr) *status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

CupsEnvironment::CupsEnvironment(const std::map<std::string, std::string>& extraEnv) {
  dir_ = MakeSharedTempDir("cups");
  std::string env;
  for (const auto& [k, v] : extraEnv) env += k + "='" + v + "' ";
  socket_ = RunCapture(env + "'" DRUVO_CUPSENV "' start '" + dir_ + "'");
  if (socket_.empty() || !Exists(socket_)) throw std::runtime_error("private cupsd did not start");
  setenv("CUPS_SERVER", socket_.c_str(), 1);
  unsetenv("PRINTER");
  unsetenv("LPDEST");
}

CupsEnvironment::~CupsEnvironment() {
  (void)!std::system(("'" DRUVO_CUPSENV "' stop '" + dir_ + "'").c_str());
  RemoveTree(dir_);
}

int CupsEnvironment::Admin(const std::string& shellCommand) const {
  return std::system(
      ("CUPS_SERVER='" + socket_ + "' " + shellCommand + " >/dev/null 2>&1").c_str());
}

void CupsEnvironment::StopServer() const {
  (void)!std::system(("'" DRUVO_CUPSENV "' cupsd-stop '" + dir_ + "'").c_str());
}

void CupsEnvironment::PauseServer(bool pause) const {
  const std::string pid = ReadFileBytes(dir_ + "/cupsd.pid");
  if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), pause ? SIGSTOP : SIGCONT);
}

void CupsEnvironment::KillServer() const {
  const std::string pid = ReadFileBytes(dir_ + "/cupsd.pid");
  if (pid.empty()) return;
  const auto id = static_cast<pid_t>(std::stol(pid));
  kill(id, SIGKILL);
  WaitFor([&] { return kill(id, 0) != 0; }, std::chrono::seconds(5));
  std::remove((dir_ + "/cupsd.pid").c_str());
}

void CupsEnvironment::RestoreQueue() const {
  (void)!std::system(("'" DRUVO_CUPSENV "' queue '" + dir_ + "' >/dev/null 2>&1").c_str());
}

void CupsEnvironment::StartServer() const {
  (void)!std::system(("'" DRUVO_CUPSENV "' cupsd-start '" + dir_ + "'").c_str());
}

std::vector<std::string> CupsEnvironment::PrinterRecords(const std::string& suffix) const {
  std::vector<std::string> names;
  for (const std::string& name : ListNames(dir_ + "/jobs")) {
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(dir_ + "/jobs/" + name);
    }
  }
  return names;
}

std::vector<std::string> CupsEnvironment::Jobs() const {
  std::vector<std::string> jobs;
  for (const std::string& path : PrinterRecords(".bin")) jobs.push_back(ReadFileBytes(path));
  return jobs;
}

bool CupsEnvironment::WaitForJobs(std::size_t count) const {
  return WaitFor([&] { return Jobs().size() >= count; });
}

std::size_t CupsEnvironment::DroppedConnections() const {
  return PrinterRecords(".dropped").size();
}

std::string DaemonBinary() { return DRUVO_BINARY; }

Daemon::Daemon(const CupsEnvironment& cups, const DaemonOptions& options) {
  // One state folder per print server, so a restarted daemon finds what
  // the previous one remembered, and tests never share it.
  const std::string state = cups.Dir() + "/druvo-state";
  mkdir(state.c_str(), 0777);
  chmod(state.c_str(), 0777);
  logPath_ = cups.Dir() + "/log/druvo-" + std::to_string(getpid()) + "-" +
             std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".log";
  std::vector<std::string> argv;
  if (!options.runAsUser.empty()) {
    argv = {"setpriv", "--reuid=" + options.runAsUser, "--regid=" + options.runAsUser,
            "--clear-groups", "--"};
  }
  argv.push_back(options.program.empty() ? std::string(DRUVO_BINARY) : options.program);
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    dup2(fd, 1);
    setenv("DRUVO_STATE_DIR", state.c_str(), 1);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
}

Daemon::~Daemon() {
  if (pid_ > 0) Stop(SIGKILL);
}

int Daemon::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

std::string Daemon::Log() const { return ReadFileBytes(logPath_); }

std::size_t Daemon::LogCount(const std::string& text) const {
  const std::string log = Log();
  std::size_t n = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

}  // namespace druvo::testing
