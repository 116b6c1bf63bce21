#include "platform/posix/folder_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/wildcard.h"

namespace druvo {

namespace {

// The pid that holds an flock on the inode, from /proc/locks; 0 if unknown
// (another pid namespace, or /proc hidden).
pid_t LockHolder(dev_t device, ino_t inode) {
  const UniqueFile locks(std::fopen("/proc/locks", "re"));
  if (!locks) return 0;
  char line[256];
  pid_t holder = 0;
  while (holder == 0 && std::fgets(line, sizeof line, locks.get()) != nullptr) {
    char kind[16] = {};
    int pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long long ino = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:567 0 EOF"; waiters have "->".
    if (std::strstr(line, "->") != nullptr) continue;
    if (std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%llu", kind, &pid, &major, &minor, &ino) != 5)
      continue;
    if (std::strcmp(kind, "FLOCK") == 0 && major == major(device) && minor == minor(device) &&
        ino == static_cast<unsigned long long>(inode))
      holder = pid;
  }
  return holder;
}

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

// Reads a registration: "PID\nPATTERN\n".
bool ReadRegistration(int fd, pid_t* pid, std::string* pattern) {
  char buffer[1024];
  const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return false;
  const std::string text(buffer, static_cast<std::size_t>(n));
  const std::size_t line = text.find('\n');
  if (line == std::string::npos || text.back() != '\n') return false;
  *pid = static_cast<pid_t>(std::atol(text.c_str()));
  *pattern = text.substr(line + 1, text.size() - line - 2);
  return true;
}

}  // namespace

std::string LockFolderPath() {
  const char* own = std::getenv("DRUVO_LOCK_DIR");
  return own != nullptr && *own != '\0' ? own : "/run/druvo-locks";
}

FolderLock::~FolderLock() {
  if (!registration_.empty()) unlink(registration_.c_str());
}

FolderLock::Result FolderLock::Take(const std::string& folder, const std::string& names) {
  return Register(folder, names, true);
}

FolderLock::Result FolderLock::Probe(const std::string& folder, const std::string& names) {
  return Register(folder, names, false);
}

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace

FolderLock::Result FolderLock::Register(const std::string& folder, const std::string& names,
                                        bool keep) {
  Result result;
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) {
    result.outcome = errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed;
    result.error = Why("stat " + folder);
    return result;
  }
  if (keep && fd_ && st.st_dev == device_ && st.st_ino == inode_) {
    result.outcome = Outcome::Held;
    return result;
  }
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || fstat(dir.get(), &st) != 0) {
    result.error = Why("open " + folder);
    return result;
  }
  // Registrations change one at a time.
  mkdir(locks_.c_str(), 0770);
  UniqueFd guard(
      open((locks_ + "/guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  // Root running druvo by hand and the service both use what either made;
  // the lock folder itself is root's and group druvo's only.
  if (guard) (void)!fchmod(guard.get(), 0666);
  UniqueDir listing(guard ? opendir(locks_.c_str()) : nullptr);
  if (!guard || !listing || flock(guard.get(), LOCK_EX) != 0) {
    result = LockTheFolder(folder, dir.get(), st, keep);
    result.note = "cannot use the lock folder " + locks_ + " (" + std::strerror(errno) +
                  "): one druvo per folder";
    return result;
  }
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%llx-%llx-", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  result.outcome = Outcome::Held;
  FindOverlap(listing.get(), prefix, names, &result);
  if (result.outcome != Outcome::Held || !keep) return result;
  Enrol(locks_ + "/" + prefix + std::to_string(getpid()), names, st, folder, &result);
  return result;
}

void FolderLock::FindOverlap(DIR* listing, const char* prefix, const std::string& names,
                             Result* result) {
  while (const dirent* entry = readdir(listing)) {
    if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) != 0) continue;
    const std::string path = locks_ + "/" + entry->d_name;
    if (path == registration_) continue;
    UniqueFd other(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!other) continue;
    if (flock(other.get(), LOCK_EX | LOCK_NB) == 0) {
      unlink(path.c_str());  // its druvo is gone
      continue;
    }
    pid_t pid = 0;
    std::string pattern;
    if (!ReadRegistration(other.get(), &pid, &pattern)) pattern = "*";  // being written: assume all
    if (!WildcardsOverlap(names, pattern, &result->both)) continue;
    result->outcome = Outcome::Busy;
    result->holder = pid;
    result->pattern = pattern;
    return;
  }
}

void FolderLock::Enrol(const std::string& mine, const std::string& names, const struct stat& st,
                       const std::string& folder, Result* result) {
  UniqueFd fd(open(mine.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd) (void)!fchmod(fd.get(), 0644);
  const std::string text = std::to_string(getpid()) + "\n" + names + "\n";
  if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
      write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    result->outcome = Outcome::Failed;
    result->error = Why("register in " + mine);
    return;
  }
  if (!registration_.empty() && registration_ != mine) unlink(registration_.c_str());
  registration_ = mine;
  Hold(std::move(fd), st, folder);
}

void FolderLock::Hold(UniqueFd fd, const struct stat& st, const std::string& folder) {
  fd_ = std::move(fd);
  device_ = st.st_dev;
  inode_ = st.st_ino;
  if (canonical_.empty()) {
    char resolved[PATH_MAX];
    canonical_ = realpath(folder.c_str(), resolved) != nullptr ? resolved : folder;
  }
}

FolderLock::Result FolderLock::LockTheFolder(const std::string& folder, int dirFd,
                                             const struct stat& st, bool keep) {
  Result result;
  UniqueFd fd(dup(dirFd));
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      result.outcome = Outcome::Busy;
      result.holder = LockHolder(st.st_dev, st.st_ino);
    } else {
      result.error = Why("flock " + folder);
    }
    return result;
  }
  result.outcome = Outcome::Held;
  if (keep) Hold(std::move(fd), st, folder);
  return result;
}

}  // namespace druvo
