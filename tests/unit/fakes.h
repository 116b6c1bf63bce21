// In-memory stand-ins for the platform, for unit tests only.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/wildcard.h"
#include "spool/ports.h"
#include "spool/spool_cycle.h"

namespace druvo::testing {

struct FakeFile {
  std::string content;
  std::uint32_t attributes = kAttrArchive;
  std::uint64_t writeTime = 0;
  OpenOutcome openAs = OpenOutcome::Opened;
  bool undeletable = false;
  long long readFailsAfter = -1;  // bytes handed out before a read error
  bool lockedOnRead = false;      // the read meets its writer's byte-range lock
  std::string appendedAfterEnd;   // what a writer appends once the end was read
  std::string replacedAfterRead;  // a new file under the same name, once read
  // Once read: the same file written anew within its write time's second
  // (1-second times), or only stamped with another time.
  std::string rewrittenAfterRead;
  std::uint64_t stampedAfterRead = 0;
  std::uint64_t inode = 0;  // a new file gets a new one
};

class FakeFileSystem : public FileSystem {
 public:
  std::map<std::string, FakeFile> files;  // full path -> file
  bool searchFails = false;
  std::size_t maxPath = 4095;
  std::vector<std::string> deleted;
  std::size_t readChunk = 7;  // small, odd reads exercise the stream's splits
  char separator = '/';

  void Add(const std::string& path, std::string content, std::uint64_t writeTime) {
    FakeFile f;
    f.content = std::move(content);
    f.writeTime = writeTime;
    f.inode = ++inodes_;
    files[path] = f;
  }
  static FileIdentity IdentityOf(const FakeFile& f) {
    return FileIdentity{1, f.inode, f.content.size(), f.writeTime};
  }
  OpResult Identify(const char* path, FileIdentity* identity, bool* gone) override {
    auto it = files.find(path);
    *gone = it == files.end();
    *identity = *gone ? FileIdentity{} : IdentityOf(it->second);
    return OpResult::Ok();
  }

  OpResult Search(const DropFolder& where,
                  const std::function<void(const DirEntry&)>& visit) override {
    if (searchFails) return OpResult::Fail("no such folder");
    const std::string& folder = where.prefix;
    const std::string& namePattern = where.names;
    // Scan order is insertion-independent: reverse name order, so tests see
    // that sorting, not the file system, decides.
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
      if (it->first.compare(0, folder.size(), folder) != 0) continue;
      const std::string name = it->first.substr(folder.size());
      if (name.find(separator) != std::string::npos ||
          !WildcardMatch(namePattern.c_str(), name.c_str()))
        continue;
      visit(DirEntry{name.c_str(), it->second.attributes, it->second.writeTime,
                     it->second.content.size()});
    }
    return OpResult::Ok();
  }

  class Reader : public InputFile {
   public:
    Reader(FakeFileSystem& fs, std::string path, std::size_t chunk)
        : fs_(fs), path_(std::move(path)), file_(fs.files[path_]), chunk_(chunk) {}
    FileIdentity Identity() const override { return IdentityOf(file_); }
    long long Read(void* buffer, std::size_t size, std::string* error) override {
      if (file_.lockedOnRead) return kReadLocked;
      if (file_.readFailsAfter >= 0 && static_cast<long long>(at_) >= file_.readFailsAfter) {
        *error = "read error";
        return -1;
      }
      if (at_ == file_.content.size() && !file_.appendedAfterEnd.empty()) {
        if (sawEnd_) {
          file_.content += file_.appendedAfterEnd;
          file_.appendedAfterEnd.clear();
        }
        sawEnd_ = true;
      }
      if (at_ == file_.content.size() && !file_.replacedAfterRead.empty()) {
        fs_.Add(path_, file_.replacedAfterRead, file_.writeTime);
        file_.replacedAfterRead.clear();
      }
      if (at_ == file_.content.size() && fs_.files.count(path_) != 0) {
        FakeFile& live = fs_.files[path_];
        if (!file_.rewrittenAfterRead.empty()) live.content = file_.rewrittenAfterRead;
        if (file_.stampedAfterRead != 0) live.writeTime = file_.stampedAfterRead;
        live.rewrittenAfterRead.clear();
        live.stampedAfterRead = 0;
        file_.rewrittenAfterRead.clear();
        file_.stampedAfterRead = 0;
      }
      const std::size_t n = std::min({size, chunk_, file_.content.size() - at_});
      std::memcpy(buffer, file_.content.data() + at_, n);
      at_ += n;
      return static_cast<long long>(n);
    }

   private:
    FakeFileSystem& fs_;
    std::string path_;
    FakeFile file_;
    std::size_t chunk_;
    std::size_t at_ = 0;
    bool sawEnd_ = false;
  };

  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file,
                   std::string* error) override {
    auto it = files.find(path);
    if (it == files.end()) return OpenOutcome::Gone;
    if (it->second.openAs == OpenOutcome::Failed) *error = "access denied";
    if (it->second.openAs != OpenOutcome::Opened) return it->second.openAs;
    *file = std::make_unique<Reader>(*this, path, readChunk);
    return OpenOutcome::Opened;
  }

  OpResult Delete(const char* path) override {
    auto it = files.find(path);
    if (it == files.end()) return OpResult::Fail("not found");
    if (it->second.undeletable) return OpResult::Fail("permission denied");
    files.erase(it);
    deleted.push_back(path);
    return OpResult::Ok();
  }

  std::size_t MaxPathLength() const override { return maxPath; }
  char Separator() const override { return separator; }

 private:
  std::uint64_t inodes_ = 0;
};

struct FakeDocument {
  std::string printer;
  std::string name;
  std::string dataType;
  std::string bytes;
  int writes = 0;
  bool ended = false;
  bool aborted = false;
};

class FakeSpooler : public TrackingSpooler {
 public:
  std::vector<std::string> calls;
  std::vector<FakeDocument> documents;
  std::string failAt;              // step name that fails: "open", "startdoc", ...
  std::string failPrinter;         // only this printer fails at failAt ("" = any)
  long long writeFailsAfter = -1;  // bytes accepted before Write fails
  std::size_t failDocument = 0;    // 1-based: writes to this document fail
  std::string current;
  int nextJobId = 0;                   // 0: no job ids; else ids count up from here
  std::map<int, JobStatus> jobStates;  // what JobStates reports
  long long serverRun = 0;             // what ServerInstance reports
  std::vector<int> cancelled;
  bool jobStatesFail = false;
  bool laterOnFail = false;  // failures ask for later instead
  int opens = 0;

  bool Fails(const char* step) const {
    return failAt == step && (failPrinter.empty() || failPrinter == current);
  }
  OpResult OpenQueue(const char* name) override {
    current = name;
    calls.push_back("open");
    // The text varies from try to try, as a real server's does.
    if (Fails("open"))
      return OpResult::Fail("no such printer (try " + std::to_string(++opens) + ")");
    return OpResult::Ok();
  }
  OpResult BeginDocument(const char* documentName, const char* dataType) override {
    calls.push_back("startdoc");
    if (Fails("startdoc")) return OpResult::Fail("startdoc refused");
    documents.push_back(FakeDocument{current, documentName, dataType, "", 0, false, false});
    return OpResult::Ok();
  }
  OpResult Write(const void* data, std::size_t size) override {
    calls.push_back("write");
    FakeDocument& doc = documents.back();
    if (Fails("write") || documents.size() == failDocument ||
        (writeFailsAfter >= 0 &&
         static_cast<long long>(doc.bytes.size() + size) > writeFailsAfter)) {
      return laterOnFail ? OpResult::Later("too many jobs") : OpResult::Fail("write refused");
    }
    doc.bytes.append(static_cast<const char*>(data), size);
    ++doc.writes;
    return OpResult::Ok();
  }
  OpResult EndDocument() override {
    calls.push_back("enddoc");
    if (Fails("enddoc")) return OpResult::Fail("enddoc refused");
    documents.back().ended = true;
    if (nextJobId != 0)
      jobStates[lastJobId = nextJobId++] = JobStatus{JobState::Pending, 100, {}, uuid};
    uuid.clear();
    return OpResult::Ok();
  }
  int lastJobId = 0;
  int LastJobId() const override { return lastJobId; }
  std::string uuid;  // of the next job
  int NameNextJob(const std::string& next) override {
    uuid = next;
    return 0;
  }
  OpResult JobStates(const char*, const std::vector<int>& ids,
                     std::map<int, JobStatus>* states) override {
    if (jobStatesFail) return OpResult::Fail("server down");
    states->clear();
    for (const int id : ids) {
      if (jobStates.count(id) != 0) (*states)[id] = jobStates[id];
    }
    return OpResult::Ok();
  }
  void CancelJob(const char*, int id) override { cancelled.push_back(id); }
  int JobWithUuid(const std::string& wanted) override {
    for (const auto& [id, job] : jobStates)
      if (job.uuid == wanted) return id;
    return 0;
  }
  long long ServerInstance() override { return serverRun; }
  void AbortDocument() override {
    calls.push_back("abort");
    documents.back().aborted = true;
  }
  void CloseQueue() override { calls.push_back("close"); }

  // Bytes of the documents the spooler accepted, in order.
  std::vector<std::string> Accepted() const {
    std::vector<std::string> out;
    for (const auto& d : documents) {
      if (d.ended && !d.aborted) out.push_back(d.bytes);
    }
    return out;
  }
};

struct ShownError {
  std::string message;
  std::string detail;
  bool repeated;
};

class FakeStatus : public StatusSink {
 public:
  std::vector<EngineState> states;
  std::vector<ShownError> errors;
  std::vector<std::string> lines;
  void ShowState(EngineState state) override { states.push_back(state); }
  void ShowError(const char* message, const std::string& detail, bool repeated) override {
    errors.push_back({message, detail, repeated});
  }
  void Log(LogLevel, const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> faults;
  void ShowFault(const std::string& fault) override { faults.push_back(fault); }
  std::size_t LinesWith(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : lines) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
};

class FakeStateStore : public StateStore {
 public:
  std::string text;
  bool loadFails = false;
  bool saveFails = false;
  int saves = 0;
  OpResult Load(std::string* out) override {
    if (loadFails) return OpResult::Fail("permission denied");
    *out = text;
    return OpResult::Ok();
  }
  OpResult Save(const std::string& in) override {
    if (saveFails) return OpResult::Fail("no space left on device");
    text = in;
    ++saves;
    return OpResult::Ok();
  }
  std::string Where() const override { return "/state"; }
};

class FakeTimer : public SpoolTimer {
 public:
  std::vector<std::string> events;
  std::uint64_t now = 0;
  void Stop() override { events.push_back("stop"); }
  void Start(int periodMs) override { events.push_back("start " + std::to_string(periodMs)); }
  void Sleep(int ms) override { events.push_back("sleep " + std::to_string(ms)); }
  std::uint64_t Now() override { return now; }
};

// POSIX defaults with the given drop-folder pattern.
inline SpoolSettings SettingsFor(const std::string& pattern) {
  SpoolSettings settings;
  LoadDefaultSettings(settings, CommandLineRules::Posix);
  std::snprintf(settings.fileSource, sizeof settings.fileSource, "%s", pattern.c_str());
  return settings;
}

// Runs one cycle; true when it ended without an error.
inline bool CycleEndsWell(SpoolEngine& engine) {
  engine.RunSpoolCycle();
  return !engine.InError();
}

}  // namespace druvo::testing
