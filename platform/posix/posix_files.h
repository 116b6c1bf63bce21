// The drop folder on POSIX: wildcard search with Windows-style attributes,
// opening for print with a check that nobody is still writing, and delete.
#pragma once

#include <unordered_map>
#include <string>

#include "spool/ports.h"

namespace druvo {

// Converts a POSIX time to 100 ns ticks since 1601.
std::uint64_t TicksFromUnix(long long seconds, long nanoseconds);

class PosixFileSystem : public FileSystem {
 public:
  PosixFileSystem();
  // While change notifications cover the folder, what a scan learnt of an
  // entry stays true until an event names it: later scans skip its stat.
  void TrustCache(bool trusted);
  void Forget(const std::string& name) { cache_.erase(name); }
  void ForgetAll() { cache_.clear(); }
  OpResult Search(const DropFolder& where,
                  const std::function<void(const DirEntry&)>& visit) override;
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) override;
  OpResult Delete(const char* path) override;
  OpResult Identify(const char* path, FileIdentity* identity, bool* gone) override;
  // Claims the file (a move to a hidden name), checks it, then unlinks it
  // or puts it back.
  DeleteOutcome DeleteIfSame(const char* path, const FileIdentity& read,
                             std::string* error) override;
  bool SettleClaims(const DropFolder& where, std::vector<std::string>* told) override;
  bool ClaimsLeft() const override { return stranded_; }
  std::size_t MaxPathLength() const override;
  char Separator() const override { return '/'; }

 private:
  struct Cached {
    std::uint64_t inode;
    std::uint32_t attributes;
    std::uint64_t writeTime;
    std::uint64_t size;
    unsigned long seen;
  };
  std::unordered_map<std::string, Cached> cache_;
  bool trusted_ = false;
  bool stranded_ = false;  // a claimed file could not be put back yet
  unsigned long generation_ = 0;
  long long cacheSince_ = 0;  // monotonic seconds when the cache was last cleared
};

constexpr const char* kLegacyStateName = "state";

// The engine's state file: FOLDER/NAME, one per drop folder. Until it exists,
// FOLDER/state (one file for every folder, as older versions kept it) is read.
// Replaces path with text whole (written to path.tmp, then renamed), mode
// 0644: for a file others read, such as a metrics file.
OpResult ReplaceFileWith(const std::string& path, const std::string& text);

class PosixStateStore : public StateStore {
 public:
  PosixStateStore(std::string folder, std::string name = kLegacyStateName);
  OpResult Load(std::string* text) override;
  OpResult Save(const std::string& text) override;
  std::string Where() const override;

 private:
  std::string folder_;
  std::string name_;
};

}  // namespace druvo
