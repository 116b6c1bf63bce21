// Which druvo serves which files of a drop folder. Each druvo registers its
// folder (by device and inode, so any spelling of its path or a symlink to
// it is the same folder) and its name pattern in a folder of lock files that
// only druvo uses, as a file it holds an flock on for its life. Two druvos
// may share a folder when no file name can match both patterns; a second
// whose pattern overlaps is refused, told the other's pattern and a name
// both match. The drop folder itself is never locked (producers may flock
// it), unless the lock folder cannot be used: then one druvo per folder.
#pragma once

#include <dirent.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/posix/unique_fd.h"

namespace druvo {

// The lock folder: DRUVO_LOCK_DIR, else /run/druvo-locks.
std::string LockFolderPath();

class FolderLock {
 public:
  enum class Outcome {
    Held,     // ours
    Busy,     // another druvo serves names of ours (holder, pattern, both say)
    Missing,  // the folder does not exist (yet)
    Failed,   // anything else (error says what)
  };
  struct Result {
    Outcome outcome = Outcome::Failed;
    pid_t holder = 0;
    std::string error;
    std::string pattern;  // Busy: the other druvo's pattern ("" when only the folder is locked)
    std::string both;     // a name both patterns match
    std::string note;     // the lock folder could not be used, and why
  };

  explicit FolderLock(std::string locks = LockFolderPath()) : locks_(std::move(locks)) {}
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Registers names (the pattern's name part) on the folder the path names
  // now. Cheap when it is held already; a folder deleted and made again is
  // registered anew.
  Result Take(const std::string& folder, const std::string& names);
  // What Take would meet, without registering (for --check).
  Result Probe(const std::string& folder, const std::string& names);
  // The folder's canonical path when it was first registered.
  const std::string& Canonical() const { return canonical_; }

 private:
  Result Register(const std::string& folder, const std::string& names, bool keep);
  // Another druvo's registration for the folder whose pattern overlaps ours.
  void FindOverlap(DIR* listing, const char* prefix, const std::string& names, Result* result);
  // Our registration, written and locked for as long as we run.
  void Enrol(const std::string& mine, const std::string& names, const struct stat& st,
             const std::string& folder, Result* result);
  // The old way, where the lock folder cannot be used: the folder itself.
  Result LockTheFolder(const std::string& folder, int dirFd, const struct stat& st, bool keep);
  void Hold(UniqueFd fd, const struct stat& st, const std::string& folder);

  std::string locks_;
  UniqueFd fd_;
  std::string registration_;  // our file in the lock folder, if any
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string canonical_;
};

}  // namespace druvo
