// One druvo per drop folder: an exclusive lock on the folder itself, held for
// the life of the process. The lock belongs to the folder's inode, so another
// spelling of its path or a symlink to it meets the same lock.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/unique_fd.h"

namespace druvo {

class FolderLock {
 public:
  enum class Outcome {
    Held,     // ours
    Busy,     // another process holds it (holder says which, when known)
    Missing,  // the folder does not exist (yet)
    Failed,   // anything else (error says what)
  };
  struct Result {
    Outcome outcome = Outcome::Failed;
    pid_t holder = 0;
    std::string error;
  };

  // Takes the lock on the folder the path names now. Cheap when it is held
  // already; a folder deleted and made again is locked anew.
  Result Take(const std::string& folder);
  // The folder's canonical path when the lock was first taken.
  const std::string& Canonical() const { return canonical_; }

 private:
  UniqueFd fd_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string canonical_;
};

}  // namespace druvo
