// The drop folder on POSIX: wildcard search with Windows-style attributes,
// opening for print with a check that nobody is still writing, and delete.
#pragma once

#include <string>

#include "spool/ports.h"

namespace druvo {

// Converts a POSIX time to 100 ns ticks since 1601.
std::uint64_t TicksFromUnix(long long seconds, long nanoseconds);

class PosixFileSystem : public FileSystem {
 public:
  PosixFileSystem();
  OpResult Search(const char* pattern, const std::function<void(const DirEntry&)>& visit) override;
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) override;
  OpResult Delete(const char* path) override;
  std::size_t MaxPathLength() const override;
  char Separator() const override { return '/'; }
};

// The engine's state file: FOLDER/state.
class PosixStateStore : public StateStore {
 public:
  explicit PosixStateStore(std::string folder);
  OpResult Load(std::string* text) override;
  OpResult Save(const std::string& text) override;
  std::string Where() const override;

 private:
  std::string folder_;
};

}  // namespace druvo
