#include "platform/posix/folder_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/clock.h"

namespace druvo {

namespace {

constexpr std::uint32_t kFileEvents =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB;
constexpr std::uint32_t kFolderEvents = IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

bool FolderWatch::NobodyWrites(const char* name) const {
  // A read lease is granted only while no one has the file open for
  // writing, and only to its owner or with CAP_LEASE: without one, the
  // quiet time has to do.
  const std::string path = folder_ + (folder_.empty() || folder_.back() == '/' ? "" : "/") + name;
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  const bool leased = fd && fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0;
  if (leased) fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  return leased;
}

FolderWatch::FolderWatch(std::string folder, int quietMs)
    : folder_(std::move(folder)), quietMs_(quietMs) {}

void FolderWatch::Disarm() {
  if (fd_ && watch_ >= 0) inotify_rm_watch(fd_.get(), watch_);
  watch_ = -1;
  states_.clear();
}

bool FolderWatch::Arm(std::string* error) {
  Disarm();
  if (!fd_) fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_) {
    *error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  watch_ = inotify_add_watch(fd_.get(), folder_.c_str(), kFileEvents | kFolderEvents | IN_ONLYDIR);
  if (watch_ < 0) {
    *error = "inotify_add_watch " + folder_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

WatchEvents FolderWatch::Drain() {
  WatchEvents events;
  if (!fd_) return events;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;  // EAGAIN: nothing more waits
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        events.overflow = events.changed = true;
        states_.clear();  // whatever was missed, nothing is known now
        continue;
      }
      if (event->wd != watch_) continue;  // a watch removed earlier
      if ((event->mask & (kFolderEvents | IN_IGNORED)) != 0) {
        events.folderGone = events.changed = true;
        watch_ = -1;
        states_.clear();
        continue;
      }
      if (event->len == 0 || (event->mask & IN_ISDIR) != 0) continue;
      events.changed = true;
      const std::string name = event->name;
      events.names.push_back(name);
      // A file linked in (ln, O_TMPFILE + linkat) gets IN_CREATE and never a
      // close; one renamed in may still be open to its writer. Both arrive,
      // and a write makes them being written.
      const long long now = SteadyMs();
      if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0)
        states_[name] = {WriteState::Arrived, now};
      if ((event->mask & IN_MODIFY) != 0) states_[name] = {WriteState::Writing, now};
      if ((event->mask & IN_CLOSE_WRITE) != 0) states_[name] = {WriteState::Closed, now};
      if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) states_.erase(name);
    }
  }
  return events;
}

WriteState FolderWatch::StateOf(const char* name) const {
  if (states_.empty()) return WriteState::Unknown;
  auto it = states_.find(std::string_view(name));
  if (it == states_.end()) return WriteState::Unknown;
  if (it->second.state == WriteState::Arrived && SteadyMs() - it->second.sinceMs < quietMs_ &&
      !NobodyWrites(name))
    return WriteState::Writing;
  return it->second.state;
}

}  // namespace druvo
