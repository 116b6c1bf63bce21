// The scan: the folder's files that wait, each brought in line with what
// the engine remembers of it (printed but undeletable, in flight, held,
// cut off at a stop).
#include <cstring>

#include "core/text_helpers.h"
#include "spool/spool_cycle.h"

namespace druvo {

int SpoolEngine::CollectJobs() {
  const std::uint64_t now = options_.settleTicks != 0 ? ports_.timer.Now() : 0;
  ++scanGeneration_;
  int count = 0;
  std::size_t settling = 0;
  std::string path;
  retryDeletes_.clear();
  if (ports_.files.ClaimsLeft()) SettleClaims();
  const OpResult searched = ports_.files.Search(folder_, [&](const DirEntry& entry) {
    const bool remembers = !state_.undeletable.empty() || !state_.inFlight.empty() ||
                           !state_.held.empty() || !state_.cut.empty();
    if (remembers) path.assign(folder_.prefix).append(entry.name);
    if (!Eligible(entry, now, &settling)) {
      // Still there (settling, say): what is remembered of it waits for the
      // scan that can tell whether it is the same file.
      if (remembers) StillListed(path);
      return;
    }
    if (remembers && !Reconcile(path, entry)) return;
    if (AppendJob(jobs_, folder_.prefix.c_str(), entry.name, entry.writeTime, entry.size)) ++count;
  });
  if (SearchFailed(searched)) return 0;
  ForgetUnseen();
  RetryDeletes(retryDeletes_);
  SaveState();
  quiet_ = count == 0 && settling == 0;
  return count;
}

bool SpoolEngine::Eligible(const DirEntry& entry, std::uint64_t now, std::size_t* settling) {
  if (entry.attributes != kAttrArchive || entry.name[0] == '\0') return false;
  const auto unprintable = [&](const std::string& line) {
    if (faults_.Raise(FaultKind::UnprintableName, entry.name)) Log(LogLevel::Warning, line);
    return false;
  };
  if (entry.nameLost)
    return unprintable("cannot print " + QuotedForLog(entry.name) +
                       ": its name cannot be converted to a path; rename it");
  // A file closed since its last write is ready at once; one the events know
  // nothing about gets the settle time. A stamp far in the future (a producer
  // with a wrong clock) must not hold a receipt back for good, so only the
  // last moments count as settling.
  const WriteState hint =
      ports_.hints != nullptr ? ports_.hints->StateOf(entry.name) : WriteState::Unknown;
  const bool settlingNow = options_.settleTicks != 0 &&
                           entry.writeTime + options_.settleTicks > now &&
                           entry.writeTime <= now + 2000 * kTicksPerMillisecond;
  if ((hint == WriteState::Unknown && settlingNow) ||
      (hint == WriteState::Arrived && entry.size == 0)) {
    ++*settling;
    return false;
  }
  const std::size_t maxPath = ports_.files.MaxPathLength();
  const std::size_t length = folder_.prefix.size() + std::strlen(entry.name);
  if (length > maxPath || length + 1 > kJobPathCapacity)
    return unprintable("skipped " + QuotedForLog(entry.name) + ": its path is longer than " +
                       std::to_string(maxPath) + " characters");
  return true;
}

bool SpoolEngine::Reconcile(const std::string& path, const DirEntry& entry) {
  // What is remembered of the file is seen while it is the same file, and
  // forgotten once it was written anew: a new receipt.
  const auto same = [&](auto& remembered) {
    auto it = remembered.find(path);
    if (it == remembered.end()) return false;
    if (StillTheSame(path, entry, it->second)) {
      it->second.seen = scanGeneration_;
      return true;
    }
    remembered.erase(it);
    return false;
  };
  if (same(state_.held)) return false;  // its job was cancelled: the operator decides
  if (same(state_.undeletable)) {
    retryDeletes_.push_back(path);
    return false;
  }
  same(state_.inFlight);  // the walk looks after it
  same(state_.cut);       // printed again, with a line
  return true;
}

void SpoolEngine::StillListed(const std::string& path) {
  const auto keep = [&](auto& remembered) {
    auto it = remembered.find(path);
    if (it != remembered.end()) it->second.seen = scanGeneration_;
  };
  keep(state_.undeletable);
  keep(state_.inFlight);
  keep(state_.held);
  keep(state_.cut);
}

void SpoolEngine::ForgetUnseen() {
  // Whatever is no longer in the folder needs no remembering.
  auto forget = [this](auto& remembered) {
    for (auto it = remembered.begin(); it != remembered.end();)
      it = it->second.seen == scanGeneration_ ? std::next(it) : remembered.erase(it);
  };
  forget(state_.undeletable);
  forget(state_.inFlight);
  forget(state_.held);
  forget(state_.cut);
}

bool SpoolEngine::SearchFailed(const OpResult& searched) {
  const std::string& source = settings_.fileSource;
  if (searched) {
    if (faults_.Clear(FaultKind::SearchFailed, source))
      Log(LogLevel::Info, "searching " + QuotedForLog(source) + " again");
    return false;
  }
  if (faults_.Raise(FaultKind::SearchFailed, source)) {
    Log(LogLevel::Error, "cannot search " + QuotedForLog(source) + ": " + searched.error);
    // Nothing can be printed from a folder that cannot be searched: that is
    // an error, never "all is well".
    EnterError("cannot search " + source);
  }
  ListClear(jobs_);
  return true;
}

bool SpoolEngine::StillTheSame(const std::string& path, const DirEntry& entry,
                               RememberedFile& kept) {
  if (!kept.identity.Known()) return entry.writeTime == kept.writeTime && entry.size == kept.size;
  FileIdentity now;
  bool gone = false;
  if (!ports_.files.Identify(path.c_str(), &now, &gone) || gone || !now.SameFile(kept.identity))
    return false;
  // Unchanged since it was last looked at. A rewrite within the same second
  // on a file system with 1-second times also looks unchanged here; the
  // delete reads the bytes and keeps such a file.
  if (now.changeTime == kept.identity.changeTime) return true;
  // Times, mode, owner or an attribute changed, or the bytes: they decide.
  if (kept.identity.content == 0) return false;  // remembered by an older version
  std::uint64_t digest = 0;
  if (!ports_.files.DigestOf(path.c_str(), &digest) || digest != kept.identity.content)
    return false;
  kept.identity.changeTime = now.changeTime;  // read once per change
  return true;
}

}  // namespace druvo
