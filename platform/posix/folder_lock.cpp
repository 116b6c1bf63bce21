#include "platform/posix/folder_lock.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace druvo {

namespace {

// The pid that holds an flock on the inode, from /proc/locks; 0 if unknown
// (another pid namespace, or /proc hidden).
pid_t LockHolder(dev_t device, ino_t inode) {
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  char line[256];
  pid_t holder = 0;
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
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
  std::fclose(locks);
  return holder;
}

}  // namespace

FolderLock::Result FolderLock::Take(const std::string& folder) {
  Result result;
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) {
    result.outcome = errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed;
    result.error = "stat " + folder + ": " + std::strerror(errno);
    return result;
  }
  if (fd_ && st.st_dev == device_ && st.st_ino == inode_) {
    result.outcome = Outcome::Held;
    return result;
  }
  UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || fstat(fd.get(), &st) != 0) {
    result.error = "open " + folder + ": " + std::strerror(errno);
    return result;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      result.outcome = Outcome::Busy;
      result.holder = LockHolder(st.st_dev, st.st_ino);
    } else {
      result.error = "flock " + folder + ": " + std::strerror(errno);
    }
    return result;
  }
  fd_ = std::move(fd);
  device_ = st.st_dev;
  inode_ = st.st_ino;
  if (canonical_.empty()) {
    char resolved[PATH_MAX];
    canonical_ = realpath(folder.c_str(), resolved) != nullptr ? resolved : folder;
  }
  result.outcome = Outcome::Held;
  return result;
}

}  // namespace druvo
