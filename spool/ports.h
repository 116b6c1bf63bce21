// The narrow interfaces through which the spool engine reaches the operating
// system. Each platform implements them once; the tests use fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace druvo {

// File attribute bits as the Windows file system reports them.
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t kAttrHidden = 0x02;
constexpr std::uint32_t kAttrSystem = 0x04;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;
constexpr std::uint32_t kAttrNormal = 0x80;
constexpr std::uint32_t kAttrTemporary = 0x100;
constexpr std::uint32_t kAttrReparsePoint = 0x400;  // also given to links, FIFOs and devices

// Write times count 100-nanosecond intervals since 1 January 1601 UTC.
constexpr std::uint64_t kTicksPerMillisecond = 10000;

struct OpResult {
  bool ok = true;
  std::string error;  // what failed, where, and the system's reason

  static OpResult Ok() { return {}; }
  static OpResult Fail(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

struct DirEntry {
  const char* name;
  std::uint32_t attributes;
  std::uint64_t writeTime;
  std::uint64_t size;
};

enum class OpenOutcome {
  Opened,
  NotReady,  // still being written
  Gone,      // vanished since the scan
  Failed,    // anything else: access denied, not a plain file, ...
};

class InputFile {
 public:
  virtual ~InputFile() = default;
  // Bytes read into buffer, 0 at the end, -1 on a read error (error is set).
  virtual long long Read(void* buffer, std::size_t size, std::string* error) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Visits every entry matching the wildcard pattern. Fails when the search
  // cannot start; a pattern that matches nothing is not a failure.
  virtual OpResult Search(const char* pattern, const std::function<void(const DirEntry&)>& visit) = 0;
  virtual OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) = 0;
  virtual OpResult Delete(const char* path) = 0;
  // Longest path (without terminator) the platform can open.
  virtual std::size_t MaxPathLength() const = 0;
  virtual char Separator() const = 0;
};

// A print queue taking one RAW document at a time.
class Spooler {
 public:
  virtual ~Spooler() = default;
  virtual OpResult OpenQueue(const char* name) = 0;
  virtual OpResult BeginDocument(const char* documentName, const char* dataType) = 0;
  virtual OpResult BeginPage() = 0;
  virtual OpResult Write(const void* data, std::size_t size) = 0;
  virtual OpResult EndPage() = 0;
  virtual OpResult EndDocument() = 0;
  virtual void AbortDocument() = 0;  // withdraws a started document
  virtual void CloseQueue() = 0;
};

// What the user sees: the tray picture and messages on Windows, log lines in
// the daemon.
class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual void ShowIcon(int iconIndex) = 0;
  // message is the user-facing text; detail says why. repeated is true when
  // the same fault was reported by the previous failing cycle as well.
  virtual void ShowError(const char* message, const std::string& detail, bool repeated) = 0;
  virtual void Log(const std::string& line) = 0;
};

class SpoolTimer {
 public:
  virtual ~SpoolTimer() = default;
  virtual void Stop() = 0;
  virtual void Start(int periodMs) = 0;
  virtual void Sleep(int ms) = 0;
  virtual std::uint64_t Now() = 0;  // 100 ns ticks since 1601
};

}  // namespace druvo
