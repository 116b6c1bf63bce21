#include "spool/spool_host.h"

#include <algorithm>
#include <map>

#include "core/clock.h"

namespace druvo {

SpoolHost::SpoolHost(const SpoolSettings& settings, RecordList& jobs, CycleDispatcher& dispatcher,
                     SpoolPorts ports, const PrinterAddress& address,
                     const volatile std::sig_atomic_t* stop, EngineOptions options)
    : settings_(settings),
      dispatcher_(dispatcher),
      jobs_(ports.jobs),
      timer_(ports.timer),
      address_(address) {
  // A printer's confirmations are read as they come, not once a second.
  if (address_.confirm) options.jobQueryTicks = 0;
  engine_ = std::make_unique<SpoolEngine>(settings, jobs, ports, options);
  engine_->SetStopFlag(stop);
}

void SpoolHost::ShowFleet(MetricsInput about, EventSink events, std::unique_ptr<MetricsFile> file) {
  version_ = about.version;
  fleet_ = std::make_unique<FleetView>(jobs_, settings_.printerName,
                                       address_.kind != PrinterAddress::Kind::Queue,
                                       std::move(about), std::move(events));
  if (file) fleet_->KeepMetricsFile(std::move(file));
}

void SpoolHost::Started() {
  if (fleet_) fleet_->Tell(StartedEvent(version_, settings_.printerName, settings_.fileSource));
}

void SpoolHost::Stopped() {
  if (fleet_) fleet_->Tell({EventKind::Stopped, "druvo stopped"});
}

bool SpoolHost::Confirming() const {
  return address_.confirm && !engine_->State().inFlight.empty();
}

void SpoolHost::PrinterSpoke() {
  // What the printer says is read whether or not a file waits for it (its
  // files may have been removed), or the wait would end at once again.
  std::map<int, JobStatus> settled;
  jobs_.JobStates(settings_.printerName, {}, &settled);
  if (!settled.empty()) dispatcher_.Changed();
}

long long SpoolHost::WaitMs(long long nowMs) const {
  return std::min(dispatcher_.WaitMs(nowMs), fleetWait_);
}

void SpoolHost::KeepFleet(long long nowMs) {
  if (fleet_) fleetWait_ = fleet_->Update(engine_->Report(), nowMs, timer_.Now());
}

void SpoolHost::Cycle() {
  engine_->RunSpoolCycle();
  dispatcher_.Quiet(engine_->Quiet());
  KeepFleet(SteadyMs());
}

void SpoolHost::AwaitConfirmations(const std::function<void()>& wait, long long quietMs,
                                   long long mostMs) {
  if (!Confirming()) return;
  engine_->AwaitConfirmations(wait, quietMs, mostMs);
}

}  // namespace druvo
