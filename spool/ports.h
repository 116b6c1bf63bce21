// The narrow interfaces through which the spool engine reaches the operating
// system. Each platform implements them once; the tests use fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/drop_folder.h"
#include "spool/status_report.h"

namespace druvo {

// File attribute bits as the Windows file system reports them.
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t kAttrHidden = 0x02;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;
constexpr std::uint32_t kAttrNormal = 0x80;
constexpr std::uint32_t kAttrReparsePoint = 0x400;  // also given to links, FIFOs and devices

// Write times count 100-nanosecond intervals since 1 January 1601 UTC.
constexpr std::uint64_t kTicksPerMillisecond = 10000;
// 1970-01-01 in seconds after 1601-01-01, where the ticks start.
constexpr long long kUnixEpochIn1601Seconds = 11644473600LL;

struct OpResult {
  bool ok = true;
  std::string error;  // what failed, where, and the system's reason
  // Nothing failed: the server is busy (too many jobs) and asks for later.
  bool later = false;

  static OpResult Ok() { return {}; }
  static OpResult Fail(std::string why) { return {false, std::move(why)}; }
  static OpResult Later(std::string why) { return {false, std::move(why), true}; }
  explicit operator bool() const { return ok; }
};

// What tells a file from another that later took its name: the file (POSIX:
// device and inode; Windows: volume serial and file index), its size and its
// bytes. The change time (POSIX ctime; Windows: write time) only says whether
// the bytes need reading again: any metadata change moves it, and on file
// systems with 1-second times a rewrite within the second leaves it as it was.
// All zero: not known.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::uint64_t changeTime = 0;
  std::uint64_t content = 0;  // ContentDigest of the bytes; 0: not read
  bool Known() const { return volume != 0 || file != 0; }
  // The same file with the same size; its bytes decide the rest.
  bool SameFile(const FileIdentity& o) const {
    return volume == o.volume && file == o.file && size == o.size;
  }
};

// A 64-bit digest of a file's bytes, fed as they are read. Not for
// security: it tells one receipt from another written over it.
class ContentDigest {
 public:
  void Add(const void* data, std::size_t size);
  // Never 0, so that 0 can stand for "not read".
  std::uint64_t Value() const;
  std::uint64_t Length() const { return length_; }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
  std::uint64_t length_ = 0;
  std::uint64_t pending_ = 0;  // bytes not yet a whole 8-byte word
  unsigned pendingBytes_ = 0;
};

struct DirEntry {
  const char* name;  // UTF-8 on Windows; the bytes as stored on POSIX
  std::uint32_t attributes;
  std::uint64_t writeTime;
  std::uint64_t size;
  bool nameLost = false;  // the name could not be converted: no path reaches it
};

// What became of a delete that must not take another file than the one read.
enum class DeleteOutcome {
  Deleted,
  Replaced,  // the name holds another file, or other bytes: it stays
  Gone,      // nothing has the name any more
  Failed,    // the file is the one read, and it could not be deleted
};

enum class OpenOutcome {
  Opened,
  NotReady,  // still being written
  Gone,      // vanished since the scan
  Failed,    // anything else: access denied, not a plain file, ...
};

// What change notifications tell about a file's writer, by file name.
enum class WriteState {
  Unknown,  // no event seen: present at start, or seen only by polling
  Writing,  // created or written since its last close: not ready, whoever writes
  Closed,   // closed after writing: ready at once
  // Linked or renamed into the folder, or created, and quiet since for the
  // settle time. Nothing says whether a writer still holds it: ready where
  // a read lease shows no writer, or, without one, by that quiet time. An
  // empty one is a file created and not yet written: it waits.
  Arrived,
};

class WriteHints {
 public:
  virtual ~WriteHints() = default;
  virtual WriteState StateOf(const char* name) const = 0;
};

class InputFile {
 public:
  virtual ~InputFile() = default;
  // Bytes read into buffer, 0 at the end, -1 on a read error (error is set),
  // kReadLocked when its writer holds a lock on it: not ready yet.
  static constexpr long long kReadLocked = -2;
  virtual long long Read(void* buffer, std::size_t size, std::string* error) = 0;
  // The file as it was when opened; unknown where the platform cannot tell.
  virtual FileIdentity Identity() const { return {}; }
};

// Reads what is left of the file into a digest; false on a read error.
bool DigestRest(InputFile& file, std::uint64_t* digest);

// A printed file is moved to ".druvo-claim.DIGEST.NAME" in its folder before
// it is checked and deleted: a producer never writes such a name, and after
// a crash the name tells what the file was and which bytes were printed.
std::string ClaimName(const std::string& name, std::uint64_t digest);
// False for a name that is no claim.
bool ParseClaim(const std::string& claim, std::string* name, std::uint64_t* digest);

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Visits every entry of the folder whose name matches its pattern. Fails
  // when the folder cannot be read; a pattern that matches nothing is not a
  // failure.
  virtual OpResult Search(const DropFolder& where,
                          const std::function<void(const DirEntry&)>& visit) = 0;
  virtual OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file,
                           std::string* error) = 0;
  virtual OpResult Delete(const char* path) = 0;
  // What the path names now (without its content). gone is set when
  // nothing does.
  virtual OpResult Identify(const char* /*path*/, FileIdentity* identity, bool* gone) {
    *identity = {};
    *gone = false;
    return OpResult::Ok();
  }
  // Deletes the file at path only if it is still the one that was read:
  // the same file with the same bytes. Here by a check, then the delete;
  // platforms that can first claim the file (move it to a name no producer
  // uses) close the window between the two, and put back a file that is
  // not the one read without replacing anything.
  virtual DeleteOutcome DeleteIfSame(const char* path, const FileIdentity& read,
                                     std::string* error);
  // Reads the whole file at path into a digest. False when it cannot be
  // read now (gone, still being written, an error).
  bool DigestOf(const char* path, std::uint64_t* digest);
  // Settles claims left behind in the folder (by a crash, or a name that
  // was taken when a file was put back): a claimed file whose bytes are the
  // ones printed is deleted, any other is put back. Lines to log are
  // appended to told; false while some claim stays. Where claims are not
  // used, nothing to do.
  virtual bool SettleClaims(const DropFolder& /*where*/, std::vector<std::string>* /*told*/) {
    return true;
  }
  // A claimed file waits to be put back: SettleClaims again at the next scan.
  virtual bool ClaimsLeft() const { return false; }
  // Longest path (without terminator) the platform can open.
  virtual std::size_t MaxPathLength() const = 0;
  virtual char Separator() const = 0;
};

// Where a job handed to the print server stands.
enum class JobState {
  Pending,    // waiting, held, stopped or being printed
  Completed,  // printed
  Cancelled,  // by someone: an administrator, a user
  Aborted,    // by the server, after an error
};

struct JobStatus {
  JobState state = JobState::Pending;
  long long created = 0;  // when the server made the job (its clock, seconds)
  std::string why;        // Aborted: what kept it from coming out, where known
  std::string uuid;       // the job's job-uuid, where the server keeps one
};

// A print queue taking one RAW document of one page at a time.
class Spooler {
 public:
  virtual ~Spooler() = default;
  virtual OpResult OpenQueue(const char* name) = 0;
  virtual OpResult BeginDocument(const char* documentName, const char* dataType) = 0;
  virtual OpResult Write(const void* data, std::size_t size) = 0;
  virtual OpResult EndDocument() = 0;
  virtual void AbortDocument() = 0;  // withdraws a started document
  virtual void CloseQueue() = 0;
  // The server's id of the last document ended, 0 when none was created
  // (an empty file) or the spooler has no ids.
  virtual int LastJobId() const { return 0; }
};

// Where the jobs handed over stand: a print server's job list, or a
// printer's own confirmations. What cannot tell keeps the defaults.
class JobTracker {
 public:
  virtual ~JobTracker() = default;
  // The next document's job carries this uuid, which no other job has: it
  // is known before the job exists, and tells the job from another that
  // later got its number. Returns the job's id where it is known before
  // the job is sent (a printer's process ID), else 0.
  virtual int NameNextJob(const std::string& /*uuid*/) { return 0; }
  // Where each of these jobs stands. A job the server does not know (lost
  // in a crash, or gone from its history) is left out. Fails when the
  // server cannot tell. With no ids: what the printer said is read, and the
  // jobs settled since are told (none, for a print server).
  virtual OpResult JobStates(const char* /*queue*/, const std::vector<int>& /*ids*/,
                             std::map<int, JobStatus>* /*states*/) {
    return OpResult::Fail("this spooler cannot report job states");
  }
  virtual void CancelJob(const char* /*queue*/, int /*id*/) {}
  // The id of the job carrying this job-uuid: 0 when the server has none
  // (never made, or gone), -1 when it cannot tell now.
  virtual int JobWithUuid(const std::string& /*uuid*/) { return 0; }
  // Changes whenever the server may have restarted since (a new connection
  // to it); 0 when it cannot tell.
  virtual long long ServerInstance() { return 0; }
  // What holds the queue's jobs back (stopped, and why); empty when nothing.
  virtual std::string QueueProblem(const char* /*queue*/) { return std::string(); }
  // A descriptor that becomes readable when there is news of jobs in
  // flight (a printer's confirmations); -1 when there is none to watch.
  virtual int WaitFd() const { return -1; }
  // False while the printer holds as much unconfirmed as it should: the
  // next file waits for a confirmation, with nothing failed.
  virtual bool TakesMore() const { return true; }
};

// For a spooler that cannot tell where its jobs stand.
JobTracker& NoJobTracking();

// A spooler that tracks its own jobs: a print server, a printer reached
// directly.
class TrackingSpooler : public Spooler, public JobTracker {};

// A small file that keeps the engine's memory across restarts. It is
// replaced as a whole, so a crash leaves the old or the new version.
class StateStore {
 public:
  virtual ~StateStore() = default;
  // Ok with an empty text when there is no file yet.
  virtual OpResult Load(std::string* text) = 0;
  virtual OpResult Save(const std::string& text) = 0;
  virtual std::string Where() const = 0;
};

// How much a log line matters (journald reads them as <3>, <4>, <6>).
enum class LogLevel { Error, Warning, Info };

// What the user sees: the tray picture and messages on Windows, log lines in
// the daemon.
class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual void ShowState(EngineState state) = 0;
  // message is the user-facing text; detail says why. repeated is true when
  // the same fault was reported by the previous failing cycle as well.
  virtual void ShowError(const char* message, const std::string& detail, bool repeated) = 0;
  virtual void Log(LogLevel level, const std::string& line) = 0;
  // The fault now holding receipts back, for the tooltip; empty when none.
  virtual void ShowFault(const std::string& /*fault*/) {}
  // The printer or server took bytes: however long the cycle, it is not stuck.
  virtual void Progress() {}
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
