// What a running druvo tells about itself when asked: its state and why,
// what waits, what was printed last, and counts since start.
#pragma once

#include <cstdint>
#include <string>

namespace druvo {

enum class EngineState {
  Idle,   // all is well: nothing waits, or what waits is not ready yet
  Busy,   // printing
  Error,  // something holds receipts back; ShowFault says what
};
const char* StateName(EngineState state);  // "idle", "busy", "error"
EngineState StateNamed(const std::string& name);  // and back; idle for any other

struct EngineReport {
  // Kept by the engine.
  std::size_t waiting = 0;   // files found waiting by the last cycle
  std::uint64_t oldest = 0;  // write time of the oldest of them (ticks)
  std::string head;          // the file at the head of the line, when it waits
  std::string headWhy;       // ...and why
  std::string lastPrinted;   // path
  std::uint64_t lastPrintedAt = 0;
  int lastJobId = 0;
  unsigned long printed = 0;        // handed over whole
  unsigned long failed = 0;         // jobs that failed
  unsigned long retried = 0;        // sent again after the server lost or aborted them
  unsigned long confirmed = 0;      // deleted once the printer or server said printed
  unsigned long accepted = 0;       // deleted once handed over
  unsigned long forceDeleted = 0;   // deleted after a failed job
  std::uint64_t lastErrorAt = 0;    // ticks; 0: no error yet
  bool printerUnavailable = false;  // the last try could not reach the printer
  std::size_t undeletable = 0;      // printed files that could not be deleted yet
  // The engine's state, in one place: what the icon, "druvo status" and
  // systemd's status line show.
  EngineState state = EngineState::Idle;
  std::string reason;       // the fault holding receipts back
  std::uint64_t since = 0;  // when the state began (ticks)
};

struct StatusContext {
  std::string printer;
  std::string pattern;
  std::string mode;       // "accepted" or "printed"
  std::uint64_t now = 0;  // ticks, for ages
  bool paused = false;    // the operator paused printing
};

// The one-line summary (systemd's STATUS=, the log on SIGUSR1).
std::string StatusLine(const EngineReport& r);
// The full report, as text for people or as JSON for scripts.
std::string FormatStatus(const EngineReport& r, const StatusContext& c, bool json);
// One field of the JSON report, decoded: a string's text, a number's or a
// boolean's spelling; "" when the report has no such field.
std::string StatusField(const std::string& json, const std::string& name);

}  // namespace druvo
