// What holds receipts back, logged once: a fault is told when it is raised
// for a subject (a printer, a file, a folder), and not again, however its
// text varies and whatever else fails meanwhile, until it is cleared.
#pragma once

#include <map>
#include <string>
#include <utility>

namespace druvo {

enum class FaultKind {
  SearchFailed,        // the folder cannot be read
  UnprintableName,     // a name no path reaches, or a path too long
  PrinterUnavailable,  // the queue or printer cannot be opened
  JobFailed,           // a file's job failed
  JobStatesUnknown,    // the server cannot say how jobs in flight stand
  StateNotSaved,       // the state file cannot be written
  HeldOpen,            // the file at the head of the line waits too long
  QueueHoldsJobs,      // a queue holds jobs past the stuck time
  InFlightFull,        // as many jobs in flight as allowed
  HistoryOff,          // the server forgets finished jobs
};

class FaultLog {
 public:
  // True when the fault is new: it is to be told now. text is what was told.
  bool Raise(FaultKind kind, const std::string& subject, const std::string& text = {}) {
    return faults_.emplace(Key{kind, subject}, text).second;
  }
  // True when it was raised. Nothing raised is the common case, at every
  // printed file.
  bool Clear(FaultKind kind, const std::string& subject) {
    return !faults_.empty() && faults_.erase(Key{kind, subject}) != 0;
  }
  // What was told for one of a kind, if any is raised; empty otherwise.
  std::string AnyOf(FaultKind kind) const {
    auto it = First(kind);
    return it != faults_.end() ? it->second : std::string();
  }
  bool AnyRaised(FaultKind kind) const { return First(kind) != faults_.end(); }
  void ClearKind(FaultKind kind) {
    for (auto it = First(kind); it != faults_.end(); it = First(kind)) faults_.erase(it);
  }

 private:
  using Key = std::pair<FaultKind, std::string>;
  using Faults = std::map<Key, std::string>;
  Faults::const_iterator First(FaultKind kind) const {
    auto it = faults_.lower_bound(Key{kind, std::string()});
    return it != faults_.end() && it->first.first == kind ? it : faults_.end();
  }
  Faults faults_;
};

}  // namespace druvo
