#include "spool/metrics.h"

#include <cstdio>

namespace druvo {

namespace {

std::string Seconds(std::uint64_t ticks) {
  if (ticks == 0) return "0";
  const double seconds = static_cast<double>(ticks) / (1000.0 * kTicksPerMillisecond) -
                         static_cast<double>(kUnixEpochIn1601Seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

// A label value: backslash, double quote and line feed escaped.
std::string Escaped(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string FormatMetrics(const EngineReport& r, const MetricsInput& in) {
  const std::string folder = "folder=\"" + Escaped(in.folder) + "\"";
  std::string out;
  const auto metric = [&](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  const auto sample = [&](const char* name, const std::string& labels, const std::string& value) {
    out += std::string(name) + "{" + folder + labels + "} " + value + "\n";
  };
  metric("druvo_files_waiting", "gauge", "Files waiting in the drop folder to be printed.");
  sample("druvo_files_waiting", "", std::to_string(r.waiting));
  metric("druvo_oldest_waiting_file_timestamp_seconds", "gauge",
         "Write time of the oldest file waiting; 0 when none waits.");
  sample("druvo_oldest_waiting_file_timestamp_seconds", "", Seconds(r.waiting != 0 ? r.oldest : 0));
  metric("druvo_printer_up", "gauge", "1 when the printer takes receipts, 0 when it does not.");
  sample("druvo_printer_up", "", r.printerUnavailable || !in.printerProblem.empty() ? "0" : "1");
  metric("druvo_printer_state", "gauge", "The printer's state, 1 for the one it is in.");
  const std::string state = PrinterStateName(in.printerProblem);
  for (const char* name : {"ok", "paper_out", "cover_open", "offline", "error"})
    sample("druvo_printer_state", std::string(",state=\"") + name + "\"",
           state == name ? "1" : "0");
  metric("druvo_receipts_total", "counter",
         "Receipts by outcome: deleted once the printer confirmed them, deleted once the "
         "spooler or printer accepted them, failed jobs, deleted after a failed job.");
  sample("druvo_receipts_total", ",outcome=\"printer_confirmed\"", std::to_string(r.confirmed));
  sample("druvo_receipts_total", ",outcome=\"accepted\"", std::to_string(r.accepted));
  sample("druvo_receipts_total", ",outcome=\"failed\"", std::to_string(r.failed));
  sample("druvo_receipts_total", ",outcome=\"force_deleted\"", std::to_string(r.forceDeleted));
  metric("druvo_last_error_timestamp_seconds", "gauge",
         "When druvo last met an error (a job failed, the printer unavailable); 0: never.");
  sample("druvo_last_error_timestamp_seconds", "", Seconds(r.lastErrorAt));
  metric("druvo_build_info", "gauge", "The program's version.");
  sample("druvo_build_info", ",version=\"" + Escaped(in.version) + "\"", "1");
  return out;
}

std::string PrinterProblem(const EngineReport& r, JobTracker& jobs, const char* printer,
                           bool direct) {
  if (direct) return jobs.QueueProblem(printer);
  return r.reason.rfind("queue ", 0) == 0 ? r.reason : std::string();
}

long long MetricsFile::Update(const std::string& text, long long nowMs) {
  // A change undone before its turn came is no change.
  pending_ = text != written_ ? text : std::string();
  const bool changed = !pending_.empty();
  const long long since = nowMs - writtenMs_;
  if (changed && since < kMinGapMs) return kMinGapMs - since;
  if (!changed && since < kMaxGapMs) return kMaxGapMs - since;
  const std::string& now = changed ? pending_ : written_;
  const OpResult saved = save_(now);
  writtenMs_ = nowMs;
  if (saved) {
    written_ = now;
    pending_.clear();
    if (!failure_.empty()) log_(LogLevel::Info, "metrics file " + where_ + " written again");
    failure_.clear();
  } else {
    // Printing goes on; said once per kind of failure.
    if (saved.error != failure_)
      log_(LogLevel::Warning,
           "cannot write the metrics file " + where_ + ": " + saved.error + "; printing goes on");
    failure_ = saved.error;
    written_ = now;  // tried: the next write comes with the next change
    pending_.clear();
  }
  return kMaxGapMs;
}

long long FleetView::Update(const EngineReport& r, long long nowMs, std::uint64_t nowTicks) {
  about_.printerProblem = PrinterProblem(r, jobs_, printer_.c_str(), direct_);
  events_.Update(r, about_.printerProblem, nowTicks);
  if (!metrics_) return MetricsFile::kMaxGapMs;
  return metrics_->Update(FormatMetrics(r, about_), nowMs);
}

}  // namespace druvo
