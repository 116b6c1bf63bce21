#include "spool/print_job.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/text_helpers.h"
#include "spool/print_stream.h"

namespace druvo {

JobTracker& NoJobTracking() {
  static JobTracker none;
  return none;
}

namespace {

// Closes the queue, and withdraws a document still open, on every way out.
class PrinterSession {
 public:
  explicit PrinterSession(Spooler& spooler) : spooler_(spooler) {}
  PrinterSession(const PrinterSession&) = delete;
  PrinterSession& operator=(const PrinterSession&) = delete;
  ~PrinterSession() {
    if (documentOpen_) spooler_.AbortDocument();
    if (printerOpen_) spooler_.CloseQueue();
  }
  void PrinterOpened() { printerOpen_ = true; }
  void DocumentStarted() { documentOpen_ = true; }
  void DocumentEnded() { documentOpen_ = false; }

 private:
  Spooler& spooler_;
  bool printerOpen_ = false;
  bool documentOpen_ = false;
};

JobResult Fail(JobResult result, std::string error) {
  result.outcome = JobOutcome::Failed;
  result.error = std::move(error);
  return result;
}

// A Ctrl-Z ends the data (text mode). Where it cuts off more than line
// ends (a barcode's length byte, graphics), say so: where, and of how much.
// The rest of the file is read all the same, into the digest.
void NoteCtrlZ(InputFile& file, PrintBuffers& buffers, std::size_t got, std::uint64_t offset,
               ContentDigest& content, JobResult* result) {
  const unsigned char* in = buffers.In();
  const auto* z = static_cast<const unsigned char*>(std::memchr(in, TextModeFilter::kCtrlZ, got));
  const auto meaningful = [](const unsigned char* from, const unsigned char* to) {
    for (; from < to; ++from) {
      if (*from != '\r' && *from != '\n' && *from != TextModeFilter::kCtrlZ) return true;
    }
    return false;
  };
  const bool here = z != nullptr;  // else it came in an earlier chunk
  bool cut = here && meaningful(z + 1, in + got);
  std::uint64_t total = offset + got;
  std::string ignored;
  for (long long more; (more = file.Read(buffers.In(), PrintBuffers::kChunk, &ignored)) > 0;) {
    content.Add(in, static_cast<std::size_t>(more));
    cut = cut || (here && meaningful(in, in + more));
    total += static_cast<std::uint64_t>(more);
  }
  if (!cut) return;
  result->ctrlZAt = offset + static_cast<std::uint64_t>(z - in);
  result->fileBytes = total;
}

}  // namespace

namespace {

// Opens the file to print: false with the outcome set when it is not to be
// printed now.
bool OpenToPrint(const char* path, FileSystem& files, std::unique_ptr<InputFile>* file,
                 JobResult* result) {
  if (path[0] == '\0') {
    result->outcome = JobOutcome::Gone;
    return false;
  }
  std::string openError;
  switch (files.Open(path, file, &openError)) {
    case OpenOutcome::Opened:
      result->identity = (*file)->Identity();
      return true;
    case OpenOutcome::NotReady:
      result->outcome = JobOutcome::NotReady;
      return false;
    case OpenOutcome::Gone:
      result->outcome = JobOutcome::Gone;
      return false;
    case OpenOutcome::Failed:
      *result = Fail(*result, openError);
      return false;
  }
  return false;
}

// Reads the file to its end (or its Ctrl-Z) and writes it to the open
// document; false with the outcome set when the job cannot go on.
bool SendFile(InputFile& file, Spooler& spooler, PrintBuffers& buffers, TextModeFilter& filter,
              ContentDigest& content, StatusSink* progress, JobResult* result) {
  std::uint64_t offset = 0;  // of the chunk in the file
  for (;;) {
    std::string readError;
    const long long got = file.Read(buffers.In(), PrintBuffers::kChunk, &readError);
    if (got == InputFile::kReadLocked) {
      // A writer's byte-range lock: the document is withdrawn, the file waits.
      result->outcome = JobOutcome::NotReady;
      result->error = "its writer holds a lock on it";
      return false;
    }
    if (got < 0) {
      *result = Fail(*result, readError);
      return false;
    }
    content.Add(buffers.In(), static_cast<std::size_t>(got));
    std::size_t n = got == 0
                        ? filter.Finish(buffers.Out())
                        : filter.Filter(buffers.In(), static_cast<std::size_t>(got), buffers.Out());
    if (n > 0) {
      if (OpResult r = spooler.Write(buffers.Out(), n); !r) {
        *result = Fail(*result, r.error);
        if (r.later) result->outcome = JobOutcome::NotReady;  // the server asks for later
        return false;
      }
      result->bytesSent += n;
      if (progress != nullptr) progress->Progress();
    }
    if (filter.Ended()) {
      NoteCtrlZ(file, buffers, static_cast<std::size_t>(got), offset, content, result);
      return true;
    }
    if (got == 0) return true;
    offset += static_cast<std::uint64_t>(got);
  }
}

}  // namespace

namespace {

class ReadAheadFile : public InputFile {
 public:
  ReadAheadFile(std::unique_ptr<InputFile> file, std::string bytes)
      : file_(std::move(file)), bytes_(std::move(bytes)) {}
  long long Read(void* buffer, std::size_t size, std::string* error) override {
    if (at_ >= bytes_.size()) return file_->Read(buffer, size, error);
    const std::size_t n = std::min(size, bytes_.size() - at_);
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<long long>(n);
  }
  FileIdentity Identity() const override { return file_->Identity(); }

 private:
  std::unique_ptr<InputFile> file_;
  std::string bytes_;
  std::size_t at_ = 0;
};

}  // namespace

bool ReadAhead(FileSystem& files, const char* path, std::unique_ptr<InputFile>* file,
               FileIdentity* identity) {
  std::unique_ptr<InputFile> opened;
  std::string error;
  if (files.Open(path, &opened, &error) != OpenOutcome::Opened) return false;
  std::string bytes;
  char chunk[16384];
  for (long long got; (got = opened->Read(chunk, sizeof chunk, &error)) != 0;) {
    if (got < 0 || bytes.size() + static_cast<std::size_t>(got) > kReadAheadLimit) return false;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  ContentDigest content;
  content.Add(bytes.data(), bytes.size());
  *identity = opened->Identity();
  identity->size = bytes.size();
  identity->content = content.Value();
  *file = std::make_unique<ReadAheadFile>(std::move(opened), std::move(bytes));
  return true;
}

JobResult PrintFileRaw(const char* path, const char* printerName, FileSystem& files,
                       Spooler& spooler, PrintBuffers& buffers, bool byteForByte,
                       StatusSink* progress, std::unique_ptr<InputFile> opened) {
  JobResult result;
  std::unique_ptr<InputFile> file = std::move(opened);
  if (file != nullptr) {
    result.identity = file->Identity();
  } else if (!OpenToPrint(path, files, &file, &result)) {
    return result;
  }

  PrinterSession session(spooler);
  if (OpResult r = spooler.OpenQueue(printerName); !r) {
    result = Fail(result, r.error);
    // The printer asks for later, or cannot be reached.
    result.outcome = r.later ? JobOutcome::NotReady : JobOutcome::PrinterUnavailable;
    return result;
  }
  session.PrinterOpened();
  if (OpResult r = spooler.BeginDocument(kDocumentName, kRawDataType); !r)
    return Fail(result, r.error);
  session.DocumentStarted();

  TextModeFilter filter(byteForByte);
  // Every byte of the file, also those past a Ctrl-Z: the delete checks
  // that the name still holds them.
  ContentDigest content;
  if (!SendFile(*file, spooler, buffers, filter, content, progress, &result)) return result;

  if (OpResult r = spooler.EndDocument(); !r) return Fail(result, r.error);
  session.DocumentEnded();
  result.jobId = spooler.LastJobId();
  // A producer that appends after closing: what it added after the end was
  // read would go with the delete.
  std::string ignored;
  const bool grew = !filter.Ended() && file->Read(buffers.In(), 1, &ignored) > 0;
  result.outcome = grew ? JobOutcome::Grew : JobOutcome::Printed;
  result.identity.content = content.Value();
  // What was read, not what the file held when it was opened: a producer
  // that rewrote it in place meanwhile gave us its new bytes.
  if (result.identity.Known()) result.identity.size = content.Length();
  return result;
}

}  // namespace druvo
