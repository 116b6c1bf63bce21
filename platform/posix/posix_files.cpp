#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/text_helpers.h"
#include "core/wildcard.h"
#include "platform/posix/unique_fd.h"

namespace druvo {

namespace {

std::string Why(const char* what, const std::string& where) {
  const int code = errno;
  return std::string(what) + " " + where + ": " +
         (code != 0 ? std::strerror(code) : "failed for an unknown reason");
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity id;
  id.volume = static_cast<std::uint64_t>(st.st_dev);
  id.file = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.changeTime = TicksFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  return id;
}

class PosixInputFile : public InputFile {
 public:
  PosixInputFile(int fd, const FileIdentity& identity) : fd_(fd), identity_(identity) {}
  FileIdentity Identity() const override { return identity_; }
  long long Read(void* buffer, std::size_t size, std::string* error) override {
    for (;;) {
      const ssize_t n = read(fd_.get(), buffer, size);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      *error = std::string("read: ") + std::strerror(errno);
      return -1;
    }
  }

 private:
  UniqueFd fd_;
  FileIdentity identity_;
};

std::uint32_t AttributesOf(const struct stat& st, const char* name) {
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  // Links, FIFOs, sockets and devices are never printed (a FIFO would block
  // the reader for good); they get a bit the scan refuses.
  if (!S_ISREG(st.st_mode)) return kAttrReparsePoint;
  std::uint32_t attributes = kAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  if (name[0] == '.') attributes |= kAttrHidden;
  return attributes;
}

}  // namespace

std::uint64_t TicksFromUnix(long long seconds, long nanoseconds) {
  return static_cast<std::uint64_t>(seconds + kUnixEpochIn1601Seconds) * 10000000ULL +
         static_cast<std::uint64_t>(nanoseconds / 100);
}

PosixFileSystem::PosixFileSystem() {
  // Taking a read lease briefly (see Open) makes the kernel signal us with
  // SIGIO when a writer opens the file meanwhile; its default would end the
  // process.
  std::signal(SIGIO, SIG_IGN);
}

namespace {
// Even a trusted cache is dropped this often, so that a change no event
// reported (a write through a memory map, say) is seen in the end.
constexpr long long kCacheLifetimeSeconds = 30;

}  // namespace

void PosixFileSystem::TrustCache(bool trusted) {
  if (!trusted) cache_.clear();
  trusted_ = trusted;
}

OpResult PosixFileSystem::Search(const DropFolder& where,
                                 const std::function<void(const DirEntry&)>& visit) {
  if (SteadyMs() / 1000 - cacheSince_ >= kCacheLifetimeSeconds) {
    cache_.clear();
    cacheSince_ = SteadyMs() / 1000;
  }
  const unsigned long generation = ++generation_;
  const std::string folder = where.Folder();
  const char* namePattern = where.names.c_str();

  UniqueDir dir(opendir(folder.c_str()));
  if (!dir) return OpResult::Fail(Why("opendir", folder));
  const int dirFd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return OpResult::Fail(Why("readdir", folder));
      break;
    }
    if (!WildcardMatch(namePattern, entry->d_name)) continue;
    if (trusted_) {
      auto it = cache_.find(entry->d_name);
      if (it != cache_.end() && it->second.inode == entry->d_ino) {
        it->second.seen = generation;
        visit(
            DirEntry{entry->d_name, it->second.attributes, it->second.writeTime, it->second.size});
        continue;
      }
    }
    struct stat st;
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    const DirEntry found{entry->d_name, AttributesOf(st, entry->d_name),
                         TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                         static_cast<std::uint64_t>(st.st_size)};
    if (trusted_) {
      cache_[entry->d_name] =
          Cached{st.st_ino, found.attributes, found.writeTime, found.size, generation};
    }
    visit(found);
  }
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = it->second.seen == generation ? std::next(it) : cache_.erase(it);
  }
  return OpResult::Ok();
}

OpenOutcome PosixFileSystem::Open(const char* path, std::unique_ptr<InputFile>* file,
                                  std::string* error) {
  // O_NONBLOCK: a FIFO swapped in after the scan must not hang us.
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return OpenOutcome::Gone;
    *error = Why("open", path);
    return OpenOutcome::Failed;
  }
  UniqueFd owner(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = Why("fstat", path);
    return OpenOutcome::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = std::string(path) + " is not a plain file";
    return OpenOutcome::Failed;
  }
  // A read lease is refused while any process has the file open for writing:
  // the writer is not done yet. Where leases are not available (another
  // owner without CAP_LEASE, network file systems) the settle time alone
  // guards half-written files.
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EBUSY) {
    return OpenOutcome::NotReady;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *file = std::make_unique<PosixInputFile>(owner.release(), IdentityOf(st));
  return OpenOutcome::Opened;
}

OpResult PosixFileSystem::Delete(const char* path) {
  if (unlink(path) != 0) return OpResult::Fail(Why("unlink", path));
  return OpResult::Ok();
}

OpResult PosixFileSystem::Identify(const char* path, FileIdentity* identity, bool* gone) {
  *identity = {};
  *gone = false;
  struct stat st;
  if (lstat(path, &st) != 0) {
    *gone = errno == ENOENT || errno == ENOTDIR;
    return *gone ? OpResult::Ok() : OpResult::Fail(Why("lstat", path));
  }
  *identity = IdentityOf(st);
  return OpResult::Ok();
}

namespace {

// Moves from to to within one folder, never over a file that has the name.
int RenameNoReplace(int dir, const char* from, const char* to) {
  if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without it: a hard link fails on a name that is taken.
  if (linkat(dir, from, dir, to, 0) == 0) return unlinkat(dir, from, 0) == 0 ? 0 : -1;
  if (errno == EEXIST) return -1;
  // Nor links (vfat): look, then move. Only here can a name taken in the
  // moment between the two be replaced.
  struct stat st;
  if (fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(dir, from, dir, to);
}

// Whether the claimed file is the one read: the same file, nobody writing
// to it, and the same bytes.
bool ClaimHolds(int dir, const std::string& claim, const FileIdentity& printed) {
  UniqueFd fd(openat(dir, claim.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (printed.Known() && !IdentityOf(st).SameFile(printed)) return false;
  // A writer that opened it before the claim may still be at work.
  if (fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0)
    fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  else if (errno == EAGAIN || errno == EBUSY)
    return false;
  PosixInputFile file(fd.release(), IdentityOf(st));
  std::uint64_t digest = 0;
  return DigestRest(file, &digest) && digest == printed.content;
}

}  // namespace

DeleteOutcome PosixFileSystem::DeleteIfSame(const char* path, const FileIdentity& read,
                                            std::string* error) {
  const std::string whole = path;
  const std::size_t slash = whole.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : whole.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  const std::string claim = ClaimName(name, read.content);
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Without the bytes read, or a name too long to claim: check, then delete.
  if (read.content == 0 || claim.size() > NAME_MAX || !dir)
    return FileSystem::DeleteIfSame(path, read, error);
  if (RenameNoReplace(dir.get(), name.c_str(), claim.c_str()) != 0) {
    if (errno == ENOENT) return DeleteOutcome::Gone;
    if (errno == EEXIST) return FileSystem::DeleteIfSame(path, read, error);
    *error = Why("rename", path);
    return DeleteOutcome::Failed;
  }
  if (ClaimHolds(dir.get(), claim, read)) {
    if (unlinkat(dir.get(), claim.c_str(), 0) == 0) return DeleteOutcome::Deleted;
    *error = Why("unlink", path);
  }
  if (RenameNoReplace(dir.get(), claim.c_str(), name.c_str()) != 0) {
    // A newer file took the name meanwhile: both are kept, this one under
    // its claim until the name is free.
    *error = "it is kept as " + folder + claim + " (" + std::strerror(errno) +
             ") and put back once its name is free";
    stranded_ = true;
    return DeleteOutcome::Replaced;
  }
  return error->empty() ? DeleteOutcome::Replaced : DeleteOutcome::Failed;
}

bool PosixFileSystem::SettleClaims(const DropFolder& where, std::vector<std::string>* told) {
  UniqueDir listing(opendir(where.Folder().c_str()));
  if (!listing) return true;  // no folder: no claims
  const int dir = dirfd(listing.get());
  bool settled = true;
  while (const dirent* entry = readdir(listing.get())) {
    const std::string claim = entry->d_name;
    std::string name;
    FileIdentity printed;
    if (!ParseClaim(claim, &name, &printed.content)) continue;
    const std::string path = where.prefix + name;
    // Claimed and not yet deleted when the last run ended. Its bytes tell
    // whether it was the file printed.
    if (ClaimHolds(dir, claim, printed) && unlinkat(dir, claim.c_str(), 0) == 0) {
      told->push_back("deleted " + QuotedForLog(path) + ", printed just before the last stop");
    } else if (RenameNoReplace(dir, claim.c_str(), name.c_str()) == 0) {
      told->push_back("put back " + QuotedForLog(path) +
                      ", which took the name of a printed file; it is printed in its turn");
    } else {
      settled = false;
    }
  }
  stranded_ = !settled;
  return settled;
}

std::size_t PosixFileSystem::MaxPathLength() const { return PATH_MAX - 1; }

PosixStateStore::PosixStateStore(std::string folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name)) {}

std::string PosixStateStore::Where() const { return folder_ + "/" + name_; }

OpResult PosixStateStore::Load(std::string* text) {
  text->clear();
  std::string path = Where();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd && errno == ENOENT && name_ != kLegacyStateName) {
    // Kept by a version with one state file for every folder: entries of
    // other folders are never seen in this one's scans, and so dropped.
    path = folder_ + "/" + kLegacyStateName;
    fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  if (!fd) {
    if (errno == ENOENT) return OpResult::Ok();
    return OpResult::Fail(Why("open", path));
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OpResult::Fail(Why("read", path));
    if (n == 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  return OpResult::Ok();
}

OpResult ReplaceFileWith(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) return OpResult::Fail(Why("open", temporary));
  fchmod(fd.get(), 0644);  // whatever the umask
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const OpResult failed = OpResult::Fail(Why("write", temporary));
      unlink(temporary.c_str());
      return failed;
    }
    done += static_cast<std::size_t>(n);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) return OpResult::Fail(Why("rename", temporary));
  return OpResult::Ok();
}

OpResult PosixStateStore::Save(const std::string& text) {
  // Written beside the old file, flushed, then renamed over it: a crash
  // leaves one whole version or the other.
  const std::string path = Where();
  const std::string temporary = path + ".new";
  if (mkdir(folder_.c_str(), 0750) != 0 && errno != EEXIST)
    return OpResult::Fail(Why("mkdir", folder_));
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640));
  if (fd.get() < 0) return OpResult::Fail(Why("open", temporary));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OpResult::Fail(Why("write", temporary));
    done += static_cast<std::size_t>(n);
  }
  // Root running by hand keeps the file the service's: it must still read it.
  struct stat owner;
  if (geteuid() == 0 && stat(folder_.c_str(), &owner) == 0 && owner.st_uid != 0)
    (void)!fchown(fd.get(), owner.st_uid, owner.st_gid);
  if (fsync(fd.get()) != 0) return OpResult::Fail(Why("fsync", temporary));
  if (rename(temporary.c_str(), path.c_str()) != 0) return OpResult::Fail(Why("rename", temporary));
  UniqueFd dir(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return OpResult::Ok();
}

}  // namespace druvo
