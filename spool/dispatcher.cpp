#include "spool/dispatcher.h"

#include <algorithm>

namespace druvo {

void CycleDispatcher::StartTimer(long long nowMs, int periodMs) {
  armed_ = true;
  periodMs_ = periodMs;
  startedMs_ = nowMs;
}

long long CycleDispatcher::TimerDueMs() const {
  // Behind healthy change notifications, the rescan that catches what they
  // miss may wait longer while nothing waits.
  const bool relaxed = watched_ && quiet_;
  return startedMs_ + (relaxed ? std::max<long long>(periodMs_, kRelaxedMs) : periodMs_);
}

bool CycleDispatcher::Due(long long nowMs) {
  if (changed_) {
    changed_ = false;
    startedMs_ = nowMs;
    return true;
  }
  if (!armed_ || nowMs < TimerDueMs()) return false;
  startedMs_ = nowMs;  // a periodic timer: the next tick is a period on
  return true;
}

long long CycleDispatcher::WaitMs(long long nowMs) const {
  if (changed_) return 0;
  long long wait = armed_ ? TimerDueMs() - nowMs : periodMs_;
  if (watchWanted_ && !watched_) wait = std::min(wait, nextArmMs_ - nowMs);
  return std::max(0LL, wait);
}

void CycleDispatcher::ArmTried(long long nowMs, bool armed) {
  if (armed) {
    armBackOffMs_ = 0;
    watched_ = true;
    changed_ = true;  // what changed while nobody listened
    return;
  }
  watched_ = false;
  armBackOffMs_ = armBackOffMs_ == 0 ? periodMs_ : std::min(armBackOffMs_ * 2, kMaxArmBackOffMs);
  nextArmMs_ = nowMs + armBackOffMs_;
}

}  // namespace druvo
