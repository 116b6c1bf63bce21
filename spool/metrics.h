// The engine's state as a Prometheus text file, for the textfile collectors
// of node_exporter and windows_exporter: what a technician's monitoring
// reads of every till. One prefix, base units, counters ending in _total,
// times as _timestamp_seconds, and labels that take few values (never a
// file name or an error's text).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "spool/events.h"
#include "spool/ports.h"
#include "spool/status_report.h"

namespace druvo {

struct MetricsInput {
  std::string folder;   // the drop folder: tells two druvos on one till apart
  std::string version;  // the program's
  // What the printer's status says holds it ("paper out", "cover open",
  // "offline...", "printer error"), empty when all is well.
  std::string printerProblem;
};

std::string FormatMetrics(const EngineReport& report, const MetricsInput& input);

// What holds the printer, as the metrics tell it: a printer reached
// directly says so itself as it goes; a print server's problem is the one
// the engine met while jobs waited on it (asking the server at every look
// would cost a request).
std::string PrinterProblem(const EngineReport& report, JobTracker& jobs, const char* printer,
                           bool direct);

// Writes the text whole (to a temporary name, then renamed) when it
// changed, at most once a second, and at least once a minute so that a
// stale file tells of a druvo that stopped.
class MetricsFile {
 public:
  static constexpr long long kMinGapMs = 1000;
  static constexpr long long kMaxGapMs = 60000;

  using Save = std::function<OpResult(const std::string& text)>;
  MetricsFile(std::string where, Save save, std::function<void(LogLevel, const std::string&)> log)
      : where_(std::move(where)), save_(std::move(save)), log_(std::move(log)) {}
  // How long until it should be called again (a change waits for its
  // second), at most kMaxGapMs.
  long long Update(const std::string& text, long long nowMs);

 private:
  std::string where_;
  Save save_;
  std::function<void(LogLevel, const std::string&)> log_;
  std::string written_;
  std::string pending_;
  long long writtenMs_ = -kMaxGapMs;
  std::string failure_;  // the last write's error, said once per change
};

// What a technician's monitoring sees of this druvo: the events, and the
// metrics file when one is kept. Both programs update it after every look
// at the folder or the printer.
class FleetView {
 public:
  // `about` names the folder and the program's version.
  FleetView(JobTracker& jobs, std::string printer, bool direct, MetricsInput about,
            EventSink events)
      : jobs_(jobs),
        printer_(printer),
        direct_(direct),
        about_(std::move(about)),
        events_(std::move(printer), std::move(events)) {}
  void KeepMetricsFile(std::unique_ptr<MetricsFile> file) { metrics_ = std::move(file); }
  void Tell(const Event& event) { events_.Tell(event); }
  // How long until it wants to be updated again.
  long long Update(const EngineReport& r, long long nowMs, std::uint64_t nowTicks);

 private:
  JobTracker& jobs_;
  std::string printer_;
  bool direct_;
  MetricsInput about_;
  EventTracker events_;
  std::unique_ptr<MetricsFile> metrics_;
};

}  // namespace druvo
