// Events for the monitoring a technician already runs: one per change of
// state, never one per cycle, each kind with an id that never changes (the
// Windows Event Log's event ID, journald's MESSAGE_ID), so that a fleet's
// paper-outs are found by their id.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "spool/ports.h"
#include "spool/status_report.h"

namespace druvo {

enum class EventKind : unsigned char {
  Started,
  Stopped,
  PrinterUnavailable,
  PaperOut,
  Recovered,
  ReceiptWaiting,
  CannotDelete,
  ConfigurationRefused,
};

struct EventType {
  unsigned short eventId;  // the Event Log's, as its message file numbers it
  const char* messageId;   // journald's: 32 hex digits
  LogLevel level;
  const char* name;
};
const EventType& TypeOf(EventKind kind);

struct Event {
  EventKind kind;
  std::string text;
};
using EventSink = std::function<void(const Event&)>;

// What holds the printer as one of a few names: "ok", "paper_out",
// "cover_open", "offline" or "error".
const char* PrinterStateName(const std::string& problem);

Event StartedEvent(const std::string& version, const std::string& printer,
                   const std::string& files);
Event RefusedEvent(const std::string& why);

// Follows what the engine reports and what holds the printer, and tells
// each change once: the printer stopping (paper out, or unavailable for
// another reason) and coming back, a receipt waiting longer than two
// minutes, a printed file that cannot be deleted.
class EventTracker {
 public:
  static constexpr std::uint64_t kLongWaitTicks = 2ULL * 60 * 1000 * kTicksPerMillisecond;

  EventTracker(std::string printer, EventSink sink)
      : printer_(std::move(printer)), sink_(std::move(sink)) {}
  void Update(const EngineReport& r, const std::string& printerProblem, std::uint64_t nowTicks);
  // An event the program itself tells (its start and stop).
  void Tell(const Event& event) { sink_(event); }

 private:
  std::string printer_;
  EventSink sink_;
  std::string problem_;  // what held the printer when last told
  bool waitedLong_ = false;
  std::size_t undeletable_ = 0;
};

}  // namespace druvo
