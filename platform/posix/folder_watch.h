// Change notifications for the drop folder (inotify): they wake the daemon
// the moment a file is closed or renamed into place, and tell, whoever the
// writer is, whether a file is still being written. Polling stays behind it
// for what sends no events (network file systems, a lost event queue).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "spool/ports.h"

namespace druvo {

struct WatchEvents {
  bool changed = false;            // something in the folder changed: run a cycle now
  bool overflow = false;           // the kernel dropped events: trust none of the states
  bool folderGone = false;         // the folder was deleted or moved: arm again later
  std::vector<std::string> names;  // entries that changed
};

class FolderWatch : public WriteHints {
 public:
  // quietMs: how long a file linked, renamed or created in must see no write
  // before it counts as arrived.
  FolderWatch(std::string folder, int quietMs);

  // (Re)starts watching; false with a reason when the folder or inotify is
  // not available.
  bool Arm(std::string* error);
  bool Armed() const { return watch_ >= 0; }
  int Fd() const { return fd_.get(); }  // readable when events wait
  // Reads every waiting event without blocking.
  WatchEvents Drain();
  WriteState StateOf(const char* name) const override;

 private:
  void Disarm();
  // Whether a read lease shows that no one has the file open for writing.
  bool NobodyWrites(const char* name) const;

  struct Seen {
    WriteState state;
    long long sinceMs;  // of the event that set it
  };

  std::string folder_;
  int quietMs_;
  UniqueFd fd_;
  int watch_ = -1;
  std::map<std::string, Seen, std::less<>> states_;  // looked up without a copy
};

}  // namespace druvo
