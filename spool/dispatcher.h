// When the spool cycle runs, for both programs alike: at start; when the
// folder changes; on the spool timer, which the cycle stops while it prints
// and starts again after it, and which may wait longer while the folder is
// watched and nothing waits; once more after a change seen during a cycle.
// Also when to try the folder's watch again, backing off while it fails.
// Times are a monotonic clock in milliseconds, given by the caller.
#pragma once

namespace druvo {

class CycleDispatcher {
 public:
  static constexpr long long kRelaxedMs = 2000;
  static constexpr long long kMaxArmBackOffMs = 5000;

  explicit CycleDispatcher(int periodMs) : periodMs_(periodMs) {}

  // The folder changed, or a rescan was asked for. Seen during a cycle, it
  // brings one more cycle after it.
  void Changed() { changed_ = true; }
  // Whether change notifications are heard (the timer may relax), and
  // whether the last cycle found nothing waiting.
  void Watched(bool watched) { watched_ = watched; }
  void Quiet(bool quiet) { quiet_ = quiet; }

  // The spool timer, as the cycle drives it.
  void StopTimer() { armed_ = false; }
  void StartTimer(long long nowMs, int periodMs);

  // True when a cycle is to run now; the caller runs it at once.
  bool Due(long long nowMs);
  // How long the caller may wait for an event before asking Due again.
  long long WaitMs(long long nowMs) const;

  // The watch: whether to try arming it now, and how it went. Without one
  // (notifications off), the timer alone finds the files.
  void NoWatch() { watchWanted_ = false; }
  bool ArmDue(long long nowMs) const { return watchWanted_ && !watched_ && nowMs >= nextArmMs_; }
  void ArmTried(long long nowMs, bool armed);

 private:
  long long TimerDueMs() const;

  int periodMs_;
  bool changed_ = true;  // the first cycle runs at once
  bool watched_ = false;
  bool watchWanted_ = true;
  bool quiet_ = false;
  bool armed_ = true;
  long long startedMs_ = 0;  // when the timer was started
  long long nextArmMs_ = 0;
  long long armBackOffMs_ = 0;
};

}  // namespace druvo
