#include "daemon/spool_daemon.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "core/clock.h"
#include "core/text_helpers.h"
#include "daemon/journal.h"
#include "daemon/signals.h"
#include "platform/posix/cups_spooler.h"
#include "platform/posix/posix_printer_link.h"
#include "spool/direct_printer.h"

namespace druvo {

namespace {

std::uint64_t RealTimeTicks() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return TicksFromUnix(now.tv_sec, now.tv_nsec);
}

// systemd's StateDirectory, else DRUVO_STATE_DIR, else /var/lib/druvo.
std::string StateFolder() {
  const char* own = std::getenv("DRUVO_STATE_DIR");
  return SystemdFolder("STATE_DIRECTORY", own != nullptr && *own != '\0' ? own : "/var/lib/druvo");
}

}  // namespace

const char* const kPrintedModeRule =
    "delete after printed: each job carries a job-uuid of its own; a job the print server "
    "drops from its list on the connection that made it is taken as printed; one it no longer "
    "knows after a new connection (cupsd restarted, maybe losing it) is sent once more, said in a "
    "line. A server without job history (PreserveJobHistory No) cannot tell such a job from one "
    "that just finished: that receipt may then come out twice, never be lost";

const char* const kConfirmRule =
    "delete after printed: a receipt is deleted once the printer answers its own process ID "
    "(or a later one, with no stop between them); a paper end, an open cover or FEED is a "
    "pause; what a lost connection carried is settled by the printer's kept answer before "
    "anything is sent again. A printer that answers no process ID is said at its first "
    "connection, and then a job counts once the printer has taken its bytes";

std::unique_ptr<TrackingSpooler> MakeSpooler(const PrinterAddress& address,
                                             double cupsTimeoutSeconds) {
  if (address.kind == PrinterAddress::Kind::Queue)
    return std::make_unique<CupsSpooler>(CupsOptions{cupsTimeoutSeconds, &Signals().stop});
  DirectOptions direct;
  direct.stopFlag = &Signals().stop;
  direct.note = [](const std::string& line) { LogLine(LogLevel::Warning, line); };
  direct.progress = FeedWatchdog;
  return std::make_unique<DirectPrinter>(address, MakePrinterLink(address), direct);
}

std::string Refusal(const FolderLock::Result& r, const std::string& folder,
                    const std::string& names) {
  const std::string who =
      "another druvo" + (r.holder != 0 ? " (pid " + std::to_string(r.holder) + ")" : std::string());
  if (r.pattern.empty()) return who + " already serves " + folder;
  return who + " serves " + folder + " with the pattern \"" + r.pattern +
         "\", and a name such as " + QuotedForLog(r.both) + " matches both it and \"" + names +
         "\"; two druvos may share a folder only with patterns no name can match both";
}

// What the engine reaches: the log, the state that "druvo status" and
// systemd are told, and the spool timer, which is the dispatcher's.
class SpoolDaemon::Ports : public StatusSink, public SpoolTimer {
 public:
  Ports(CycleDispatcher& dispatcher, StatusServer& server)
      : dispatcher_(dispatcher), server_(server) {}
  void Attach(const EngineReport* report) { report_ = report; }
  void ShowState(EngineState) override {
    // Before the cycle's waits: asked meanwhile, the answer is "busy".
    if (report_ != nullptr) server_.Publish(*report_);
  }
  // systemd's watchdog hears from us while the loop goes round and while a
  // long backlog goes to a printer that takes its bytes; a call that hangs
  // stops both.
  void Progress() override { FeedWatchdog(); }
  // The Windows program's box text means nothing here: the line says what
  // the print server or the printer said.
  void ShowError(const char*, const std::string& detail, bool repeated) override {
    if (!repeated) LogLine(LogLevel::Error, "printer unavailable: " + detail);
  }
  void Log(LogLevel level, const std::string& line) override { LogLine(level, line); }

  void Stop() override { dispatcher_.StopTimer(); }
  void Start(int periodMs) override { dispatcher_.StartTimer(SteadyMs(), periodMs); }
  void Sleep(int ms) override {
    // A stop signal cuts the wait short.
    const timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    if (ms > 0) nanosleep(&delay, nullptr);
  }
  std::uint64_t Now() override { return RealTimeTicks(); }

 private:
  CycleDispatcher& dispatcher_;
  StatusServer& server_;
  const EngineReport* report_ = nullptr;
};

SpoolDaemon::SpoolDaemon(const SpoolSettings& settings, const PrinterAddress& address,
                         std::string metricsFile)
    : settings_(settings),
      address_(address),
      metricsFile_(std::move(metricsFile)),
      folder_(DropFolder::Of(settings.fileSource, '/').Folder()),
      names_(DropFolder::Of(settings.fileSource, '/').names),
      useEvents_(std::getenv("DRUVO_NO_INOTIFY") == nullptr),
      watch_(folder_, settings.pollInterval),
      dispatcher_(settings.pollInterval),
      jobs_(ListCreate()) {
  // Watch before the first line is out: a file created after it is always
  // known by its events, never by polling alone. Should this fail, the loop
  // tries again and says why. DRUVO_NO_INOTIFY=1 leaves polling alone.
  if (useEvents_) {
    std::string ignored;
    dispatcher_.ArmTried(SteadyMs(), watch_.Arm(&ignored));
  } else {
    dispatcher_.NoWatch();
  }
}

SpoolDaemon::~SpoolDaemon() {
  host_.reset();
  ListDestroy(&jobs_);
}

bool SpoolDaemon::LockFolder() {
  std::string said, noted;
  while (Signals().stop == 0) {
    const FolderLock::Result r = lock_.Take(folder_, names_);
    if (!r.note.empty() && noted != r.note) LogLine(LogLevel::Warning, "warning: " + r.note);
    noted = r.note;
    switch (r.outcome) {
      case FolderLock::Outcome::Held:
        return true;
      case FolderLock::Outcome::Busy: {
        const std::string why = Refusal(r, folder_, names_);
        LogLine(LogLevel::Error, why + "; this one prints nothing and stops");
        SendEvent(RefusedEvent(why), folder_);
        return false;
      }
      case FolderLock::Outcome::Missing:
      case FolderLock::Outcome::Failed:
        if (said != r.error) {
          said = r.error;
          LogLine(LogLevel::Error,
                  r.outcome == FolderLock::Outcome::Missing
                      ? "folder " + folder_ + " does not exist; waiting for it"
                      : "cannot serve " + folder_ + ": " + r.error + "; trying again");
        }
        break;
    }
    WaitForSignal(settings_.pollInterval);
  }
  return true;  // stopping: nothing was printed
}

int SpoolDaemon::Start() {
  // One druvo per folder (waiting for the folder as long as it takes), and
  // its memory kept apart from other folders'.
  if (!LockFolder()) return kAnotherInstance;
  if (Signals().stop != 0) return 0;  // stopped while waiting: nothing to do
  spooler_ = MakeSpooler(address_, CupsOptions{}.timeoutSeconds);
  if (address_.kind == PrinterAddress::Kind::Queue || address_.confirm) {
    // A queue may be created after druvo starts; until then files wait. A
    // printer asked to confirm says at once whether it answers process IDs.
    if (OpResult r = spooler_->OpenQueue(settings_.printerName); !r)
      LogLine(LogLevel::Warning, "warning: " + r.error);
    spooler_->CloseQueue();
  }
  state_ = std::make_unique<PosixStateStore>(StateFolder(), StateFileName(lock_.Canonical(), '/'));
  ports_ = std::make_unique<Ports>(dispatcher_, server_);
  EngineOptions options;
  // Without share modes, a file written within the last poll interval may
  // still be growing.
  options.settleTicks = static_cast<std::uint64_t>(settings_.pollInterval) * kTicksPerMillisecond;
  host_ = std::make_unique<SpoolHost>(settings_, jobs_, dispatcher_,
                                      SpoolPorts{files_, *spooler_, *spooler_, *ports_, *ports_,
                                                 state_.get(), useEvents_ ? &watch_ : nullptr},
                                      address_, &Signals().stop, options);
  const auto render = [this](const EngineReport& r, bool json) {
    const char* deleted = settings_.deleteAfterPrinted != 0 ? "printed" : "accepted";
    return FormatStatus(
        r, StatusContext{settings_.printerName, settings_.fileSource, deleted, RealTimeTicks()},
        json);
  };
  if (std::string why; !server_.Start(RuntimeFolder(""), render, &why))
    LogLine(LogLevel::Info, "no status socket: " + why);
  ports_->Attach(&host_->Engine().Report());
  Notify("READY=1");
  watchdogMs_ = WatchdogPeriodMs();
  // The fleet's view: events for the journal, and a metrics file kept up
  // to date for node_exporter.
  std::unique_ptr<MetricsFile> metrics;
  if (!metricsFile_.empty()) {
    metrics = std::make_unique<MetricsFile>(
        metricsFile_,
        [path = metricsFile_](const std::string& text) { return ReplaceFileWith(path, text); },
        [](LogLevel level, const std::string& line) { LogLine(level, line); });
  }
  host_->ShowFleet(
      MetricsInput{folder_, DRUVO_VERSION, {}},
      [folder = folder_](const Event& e) { SendEvent(e, folder); }, std::move(metrics));
  host_->Started();
  host_->KeepFleet(SteadyMs());
  everArmed_ = watch_.Armed();
  if (!useEvents_)
    LogLine(LogLevel::Info, "change notifications off: polling every " +
                                std::to_string(settings_.pollInterval) + " ms");
  return 0;
}

void SpoolDaemon::ArmWatch() {
  // After the folder was deleted or moved: it may be back.
  std::string why;
  const bool armed = watch_.Arm(&why);
  dispatcher_.ArmTried(SteadyMs(), armed);
  if (armed) {
    if (everArmed_ || !watchFault_.empty())
      LogLine(LogLevel::Info, "watching " + folder_ + " again");
    everArmed_ = true;
    watchFault_.clear();
    lockChecked_ = false;  // it may be a new folder
  } else if (why != watchFault_) {
    watchFault_ = why;
    LogLine(LogLevel::Warning, "no change notifications (" + why + "); polling every " +
                                   std::to_string(settings_.pollInterval) + " ms");
  }
}

void SpoolDaemon::FolderEvents() {
  const WatchEvents events = watch_.Drain();
  if (events.overflow)
    LogLine(LogLevel::Warning, "the folder's event queue overflowed; rescanning it");
  if (events.folderGone)
    LogLine(LogLevel::Warning, "the folder went away; polling until it is back");
  if (events.overflow || events.folderGone) files_.ForgetAll();
  for (const std::string& name : events.names) files_.Forget(name);
  if (events.changed) dispatcher_.Changed();
  dispatcher_.Watched(watch_.Armed());
}

void SpoolDaemon::SignalsCaught() {
  if (Signals().rescan != 0) {
    Signals().rescan = 0;
    LogLine(LogLevel::Info, "SIGHUP: rescanning " + folder_);
    files_.ForgetAll();
    dispatcher_.Changed();
  }
  if (Signals().report != 0) {
    Signals().report = 0;
    LogLine(LogLevel::Info, "status: " + StatusLine(host_->Engine().Report()));
  }
}

bool SpoolDaemon::StillOurs() {
  // A healthy watch would have said the folder is new, so only then is it
  // looked at.
  if (lockChecked_ && watch_.Armed()) return true;
  if (const FolderLock::Result r = lock_.Take(folder_, names_);
      r.outcome == FolderLock::Outcome::Busy) {
    LogLine(LogLevel::Error, Refusal(r, folder_, names_) + "; this one stops");
    return false;
  }
  lockChecked_ = true;
  return true;
}

void SpoolDaemon::Cycle() {
  host_->Cycle();
  ++polls_;
  const EngineReport& report = host_->Engine().Report();
  server_.Publish(report);
  if (std::string line = StatusLine(report); line != told_) {
    told_ = line;
    Notify("STATUS=" + line);
  }
}

int SpoolDaemon::Loop() {
  while (Signals().stop == 0) {
    if (dispatcher_.ArmDue(SteadyMs())) ArmWatch();
    // What the events say unchanged needs no new stat, while they are heard.
    files_.TrustCache(watch_.Armed());
    long long wait = host_->WaitMs(SteadyMs());
    if (watchdogMs_ > 0) wait = std::min(wait, watchdogMs_);
    // The printer's replies (confirmations) wake the loop too.
    pollfd fds[3] = {{WakeFd(), POLLIN, 0},
                     {watch_.Armed() ? watch_.Fd() : -1, POLLIN, 0},
                     {spooler_->WaitFd(), POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(wait)) > 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0)
      host_->PrinterSpoke();
    if ((fds[1].revents & POLLIN) != 0) FolderEvents();
    DrainWake();
    if (Signals().stop != 0) break;
    SignalsCaught();
    ports_->Progress();
    if (!host_->Due(SteadyMs())) {
      host_->KeepFleet(SteadyMs());  // a cycle keeps it itself
      continue;
    }
    if (!StillOurs()) return kAnotherInstance;
    Cycle();
  }
  return 0;
}

void SpoolDaemon::Stop() {
  if (host_ == nullptr) return;
  Notify("STOPPING=1");
  // Receipts the printer has but has not confirmed yet: their answers are
  // due. Stopping waits for them while they keep coming (at most 60 s,
  // within the units' TimeoutStopSec), so that the next start does not send
  // them again.
  host_->AwaitConfirmations(
      [this] {
        pollfd replies{spooler_->WaitFd(), POLLIN, 0};
        poll(&replies, 1, 100);
        FeedWatchdog();
      },
      10000, 60000);
  LogLine(LogLevel::Info, "stopping after " + std::to_string(polls_) + " polls");
  host_->Stopped();
}

}  // namespace druvo
