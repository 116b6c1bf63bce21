// What the engine must remember across restarts: printed files it could not
// delete yet, and (when files wait for their jobs to complete) the jobs in
// flight. Stored as a small text file, one entry per line.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "spool/ports.h"

namespace druvo {

struct RememberedFile {
  std::uint64_t writeTime = 0;
  std::uint64_t size = 0;
  FileIdentity identity;   // unknown in entries kept by older versions
  unsigned long seen = 0;  // scan generation that last saw it (not stored)
};

// A file listed with this time and size and then read: the size kept is the
// size read, where the read could tell (a producer may rewrite the file
// between the listing and the read).
inline RememberedFile FileAsRead(std::uint64_t writeTime, std::uint64_t listedSize,
                                 const FileIdentity& read, unsigned long seen) {
  return RememberedFile{writeTime, read.Known() ? read.size : listedSize, read, seen};
}

// A file handed to the server, with its job.
struct InFlightJob : RememberedFile {
  int jobId = 0;
  // When the server created the job (its clock, seconds): with the id, this
  // tells our job from another that got the same id after a server crash.
  long long jobCreated = 0;
  long long server = 0;      // the server's run it was handed to (0: unknown)
  int resent = 0;            // times sent again after the server lost it
  std::string queue;         // where it was sent
  std::uint64_t sentAt = 0;  // our clock (not stored: a restart counts anew)
  // The job's job-uuid, chosen before it was sent: no other job has it.
  // Remembered with job id 0 while the job is being sent.
  std::string uuid;
};

// A file whose job a stop cut off after some of its bytes had gone: the
// next start sends it again whole and says so.
struct CutJob : RememberedFile {
  std::uint64_t sent = 0;  // bytes sent before the stop
};

struct SpoolState {
  std::map<std::string, RememberedFile> undeletable;  // printed, delete failed
  std::map<std::string, InFlightJob> inFlight;        // handed over, not printed yet
  std::map<std::string, RememberedFile> held;         // job cancelled: kept for the operator
  std::map<std::string, CutJob> cut;                  // cut off by a stop, to send again
  bool operator==(const SpoolState& other) const;
};

// The state file's name for a drop folder, from its canonical path, that no
// other folder shares: "/var/spool/druvo" gives "state-var-spool-druvo".
std::string StateFileName(const std::string& folder, char separator);

std::string FormatState(const SpoolState& state);
// False (with a reason) for text that is not a state file this program wrote.
// Lines that cannot be read are skipped and named in error ("line 3, 7").
bool ParseState(const std::string& text, SpoolState* state, std::string* error);

}  // namespace druvo
