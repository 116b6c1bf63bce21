#include "spool/events.h"

namespace druvo {

const EventType& TypeOf(EventKind kind) {
  // Never renumbered: monitoring rules select on these.
  static const EventType kTypes[] = {
      {1, "000ce8e4407f45aaaa87d04040fbf85b", LogLevel::Info, "started"},
      {2, "41ad3262ce624465affc722b77d83411", LogLevel::Info, "stopped"},
      {3, "992e980ea589468aa8808ead0fe04c77", LogLevel::Error, "printer unavailable"},
      {4, "2f1cb80818164989be39a49c3c018f01", LogLevel::Warning, "paper out"},
      {5, "43fcb52f81004dc1b39d78d665033aee", LogLevel::Info, "printer recovered"},
      {6, "29fef05cca9d4584a161cd73fed5c84f", LogLevel::Warning, "receipt waiting"},
      {7, "84c0810f6c404ec29453a32374b4d697", LogLevel::Error, "cannot delete"},
      {8, "4d735a24a1a844b08deef693abf8f041", LogLevel::Error, "configuration refused"},
  };
  return kTypes[static_cast<unsigned char>(kind)];
}

const char* PrinterStateName(const std::string& problem) {
  if (problem.empty()) return "ok";
  if (problem.find("paper") != std::string::npos) return "paper_out";
  if (problem.find("cover") != std::string::npos) return "cover_open";
  if (problem.find("offline") != std::string::npos) return "offline";
  return "error";
}

Event StartedEvent(const std::string& version, const std::string& printer,
                   const std::string& files) {
  return {EventKind::Started,
          "druvo " + version + " started: printer " + printer + ", files " + files};
}

Event RefusedEvent(const std::string& why) {
  return {EventKind::ConfigurationRefused, "configuration refused: " + why};
}

void EventTracker::Update(const EngineReport& r, const std::string& printerProblem,
                          std::uint64_t nowTicks) {
  std::string problem = printerProblem;
  if (problem.empty() && r.printerUnavailable)
    problem = r.headWhy.empty() ? "unavailable" : r.headWhy;
  if (problem != problem_) {
    if (problem.empty()) {
      sink_({EventKind::Recovered, "printer " + printer_ + " is back (it was: " + problem_ + ")"});
    } else if (std::string(PrinterStateName(problem)) == "paper_out") {
      sink_({EventKind::PaperOut, "printer " + printer_ + ": " + problem});
    } else {
      sink_({EventKind::PrinterUnavailable, "printer " + printer_ + " unavailable: " + problem});
    }
    problem_ = problem;
  }
  const bool waitsLong = r.waiting != 0 && r.oldest != 0 && nowTicks > r.oldest + kLongWaitTicks;
  if (waitsLong && !waitedLong_) {
    const std::uint64_t minutes = (nowTicks - r.oldest) / (60 * 1000 * kTicksPerMillisecond);
    std::string text = std::to_string(r.waiting) + " file(s) waiting, the oldest written " +
                       std::to_string(minutes) + " min ago";
    if (!r.head.empty()) text += "; " + r.head + ": " + r.headWhy;
    sink_({EventKind::ReceiptWaiting, text});
  }
  waitedLong_ = waitsLong;
  if (r.undeletable > undeletable_) {
    sink_({EventKind::CannotDelete, std::to_string(r.undeletable) +
                                        " printed file(s) cannot be deleted; they are not "
                                        "printed again, and druvo keeps trying"});
  }
  undeletable_ = r.undeletable;
}

}  // namespace druvo
