// Sends one file to a printer queue as a single RAW document of one page.
#pragma once

#include <memory>

#include <cstdint>
#include <string>
#include <vector>

#include "spool/ports.h"

namespace druvo {

constexpr const char* kDocumentName = "Printing Document";
constexpr const char* kRawDataType = "RAW";
constexpr const char* kOpenPrinterMessage = "Error OpenPrinter !!";

// What became of one file's turn, from the send or from what the server or
// printer later said of its job. The cycle goes on after the first five.
enum class JobOutcome {
  Printed,             // handed over whole: accepted by the server, or taken by the printer
  Grew,                // handed over, but written to after it was read: it stays
  InFlight,            // with the server; deleted once the server says it is printed
  Gone,                // vanished, or its job settled: it no longer waits; nothing sent now
  Resend,              // its job did not come out (or waits elsewhere): the file goes again
  NotReady,            // still being written, or the server asks for later; nothing was sent
  PrinterUnavailable,  // the queue or the printer could not be opened
  Failed,              // nothing or only part was sent, and the document was withdrawn
  Stopped,             // a stop ended the job; the file stays
};

struct JobResult {
  JobOutcome outcome = JobOutcome::Failed;
  std::uint64_t bytesSent = 0;
  int jobId = 0;          // the server's id, where it has one
  FileIdentity identity;  // of the file that was read
  // Where a Ctrl-Z ended the data with more than line ends after it, and the
  // file's size; fileBytes 0: no such cut.
  std::uint64_t ctrlZAt = 0;
  std::uint64_t fileBytes = 0;
  std::string error;
};

// Read and write buffers, kept by the caller so that a cycle of many files
// does not allocate per file.
class PrintBuffers {
 public:
  static constexpr std::size_t kChunk = 64 * 1024;
  PrintBuffers() : in_(kChunk), out_(kChunk + 1) {}
  unsigned char* In() { return in_.data(); }
  unsigned char* Out() { return out_.data(); }

 private:
  std::vector<unsigned char> in_;
  std::vector<unsigned char> out_;
};

// The file is opened before the printer, so a file that is not ready or gone
// costs the spooler nothing. The path is used exactly as given: a name may end
// in a blank or a line end on POSIX.
// byteForByte: the file's bytes unchanged; else read as text (see
// TextModeFilter).
// progress is told after each write the spooler took.
// opened: the file already open (see ReadAhead); else it is opened here.
JobResult PrintFileRaw(const char* path, const char* printerName, FileSystem& files,
                       Spooler& spooler, PrintBuffers& buffers, bool byteForByte = false,
                       StatusSink* progress = nullptr, std::unique_ptr<InputFile> opened = nullptr);

// Opens the file at path and reads it into memory, up to kReadAheadLimit
// bytes: what is then sent from it is what its identity (size and digest)
// says, even if a producer rewrites the file in place meanwhile. Past the
// bytes read ahead, the file itself reads on. False, with nothing open,
// when it cannot be opened now or is longer than the limit.
constexpr std::size_t kReadAheadLimit = 4u << 20;
bool ReadAhead(FileSystem& files, const char* path, std::unique_ptr<InputFile>* file,
               FileIdentity* identity);

}  // namespace druvo
