// What the engine must remember across restarts: printed files it could not
// delete yet, and (when files wait for their jobs to complete) the jobs in
// flight. Stored as a small text file, one entry per line.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace druvo {

struct RememberedFile {
  std::uint64_t writeTime = 0;
  std::uint64_t size = 0;
  unsigned long seen = 0;  // scan generation that last saw it (not stored)
};

struct InFlightJob {
  int jobId = 0;
  std::uint64_t writeTime = 0;
  std::uint64_t size = 0;
  unsigned long seen = 0;
};

struct SpoolState {
  std::map<std::string, RememberedFile> undeletable;  // printed, delete failed
  std::map<std::string, InFlightJob> inFlight;        // handed over, not printed yet
  bool operator==(const SpoolState& other) const;
};

std::string FormatState(const SpoolState& state);
// False (with a reason) for text that is not a state file this program wrote.
bool ParseState(const std::string& text, SpoolState* state, std::string* error);

}  // namespace druvo
