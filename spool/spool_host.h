// What both programs run around the engine: the rules between the printer's
// address, the engine and its dispatcher, the fleet view, and the steps of
// one turn of the loop. Each program keeps only its own wait (poll on the
// daemon; events on the tray's worker thread), its status sink and the
// printers its platform has.
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <string>

#include "spool/dispatcher.h"
#include "spool/metrics.h"
#include "spool/printer_address.h"
#include "spool/spool_cycle.h"

namespace druvo {

class SpoolHost {
 public:
  // The program's printer (its spooler and what tracks its jobs), folder
  // and ports; the address decides how files are deleted.
  SpoolHost(const SpoolSettings& settings, RecordList& jobs, CycleDispatcher& dispatcher,
            SpoolPorts ports, const PrinterAddress& address, const volatile std::sig_atomic_t* stop,
            EngineOptions options = {});

  SpoolEngine& Engine() { return *engine_; }
  // The events and the metrics file: told at start, after every turn, and
  // at the stop.
  void ShowFleet(MetricsInput about, EventSink events, std::unique_ptr<MetricsFile> file);
  void Started();
  void Stopped();

  // Whether receipts await a printer's word (a direct printer asked to
  // confirm): the program then hears from it often.
  bool Confirming() const;
  // The printer said something: what it settled wakes a cycle.
  void PrinterSpoke();
  // How long the program may wait before the next turn.
  long long WaitMs(long long nowMs) const;
  // After a wake that runs no cycle: the fleet view kept up to date.
  void KeepFleet(long long nowMs);
  // Whether a cycle is due (a change was heard, or the timer came).
  bool Due(long long nowMs) { return dispatcher_.Due(nowMs); }
  // One cycle, and what it changed told.
  void Cycle();
  // Stopping: waits for the confirmations a printer owes while they keep
  // coming (quietMs without one ends it; mostMs at most); `wait` lets time
  // pass. A print server's jobs wait for the next start instead.
  void AwaitConfirmations(const std::function<void()>& wait, long long quietMs, long long mostMs);

 private:
  const SpoolSettings& settings_;
  CycleDispatcher& dispatcher_;
  JobTracker& jobs_;
  SpoolTimer& timer_;
  PrinterAddress address_;
  std::unique_ptr<SpoolEngine> engine_;
  std::unique_ptr<FleetView> fleet_;
  std::string version_;
  long long fleetWait_ = MetricsFile::kMaxGapMs;
};

}  // namespace druvo
