// The end of a file's route: a printed file is deleted only while its name
// still holds the bytes that were printed; one that cannot be deleted is
// tried again at every scan, and claims a crash left are settled.
#include "core/text_helpers.h"
#include "spool/fault_switch.h"
#include "spool/spool_cycle.h"

namespace druvo {

void SpoolEngine::SettleClaims() {
  std::vector<std::string> told;
  ports_.files.SettleClaims(folder_, &told);
  for (const std::string& line : told) Log(LogLevel::Warning, line);
}

void SpoolEngine::DeletePrinted(const std::string& path, const RememberedFile& printed) {
  // The name may have been given to a new receipt since the file was read
  // (removed and made again, renamed over, rewritten in place): that one
  // stays and is printed in its turn.
  std::string error;
  if (FaultOn(Fault::DeleteByName)) {
    ports_.files.Delete(path.c_str());
    return;
  }
  switch (ports_.files.DeleteIfSame(path.c_str(), printed.identity, &error)) {
    case DeleteOutcome::Deleted:
      return;
    case DeleteOutcome::Replaced:
      Log(LogLevel::Warning, QuotedForLog(path) +
                                 " was replaced while it was printed; the new "
                                 "file stays and is printed in its turn" +
                                 (error.empty() ? std::string() : "; the printed one: " + error));
      return;
    case DeleteOutcome::Gone:
      Log(LogLevel::Warning, QuotedForLog(path) + " was removed by someone else after printing");
      return;
    case DeleteOutcome::Failed:
      break;
  }
  state_.undeletable[path] = printed;
  state_.undeletable[path].seen = scanGeneration_;
  SaveState();
  Log(LogLevel::Error,
      "cannot delete " + QuotedForLog(path) + " after printing: " + error +
          "; trying again at every cycle, and it is not printed again while unchanged");
}

void SpoolEngine::RetryDeletes(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    auto it = state_.undeletable.find(path);
    std::string error;
    const DeleteOutcome outcome =
        ports_.files.DeleteIfSame(path.c_str(), it->second.identity, &error);
    if (outcome == DeleteOutcome::Failed) continue;  // logged at the first failure
    state_.undeletable.erase(it);
    if (outcome == DeleteOutcome::Deleted)
      Log(LogLevel::Info, "deleted " + QuotedForLog(path) + " (printed earlier)");
    else if (outcome == DeleteOutcome::Replaced)
      Log(LogLevel::Warning, QuotedForLog(path) + " was written anew; it is printed in its turn");
  }
}

}  // namespace druvo
