// druvo [--delete-after=accepted|printed] [PRINTER [PATTERN [TRUE]]]
// Forwards every file waiting in a drop folder, oldest first, as a raw job to
// a CUPS queue, and deletes it once the queue has accepted it (or, with
// --delete-after=printed, once CUPS reports it printed).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "core/clock.h"
#include "core/settings.h"
#include "core/text_helpers.h"
#include "daemon/control.h"
#include "daemon/journal.h"
#include "platform/posix/cups_spooler.h"
#include "platform/posix/folder_lock.h"
#include "platform/posix/folder_watch.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_printer_link.h"
#include "spool/direct_printer.h"
#include "spool/metrics.h"
#include "spool/dispatcher.h"
#include "spool/spool_cycle.h"

namespace druvo {
namespace {

constexpr int kAnotherInstance = 4;  // exit status: another druvo serves the folder

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_rescan = 0;
volatile std::sig_atomic_t g_report = 0;
int g_wakeFd = -1;  // written by the signal handler, read in the loop's poll

// A signal that comes just before the loop's wait ends it all the same.
extern "C" void OnSignal(int number) {
  (number == SIGHUP ? g_rescan : number == SIGUSR1 ? g_report : g_stop) = 1;
  const char byte = 1;
  const int saved = errno;
  (void)!write(g_wakeFd, &byte, 1);
  errno = saved;
}

std::uint64_t RealTimeTicks() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return TicksFromUnix(now.tv_sec, now.tv_nsec);
}

// What the engine reaches: the log, the state that "druvo status" and
// systemd are told, and the spool timer, which is the dispatcher's.
class DaemonPorts : public StatusSink, public SpoolTimer {
 public:
  explicit DaemonPorts(CycleDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  void Attach(EngineReport* report, StatusServer* server) {
    report_ = report;
    report_->since = Now();
    server_ = server;
  }
  void ShowState(EngineState shown) override {
    if (report_ == nullptr) return;
    const char* state = shown == EngineState::Error  ? "error"
                        : shown == EngineState::Busy ? "busy"
                                                     : "idle";
    if (report_->state == state) return;
    report_->state = state;
    report_->since = Now();
    // Before the cycle's waits: asked meanwhile, the answer is "busy".
    if (server_ != nullptr) server_->Publish(*report_);
  }
  void ShowFault(const std::string& fault) override {
    if (report_ != nullptr) report_->reason = fault;
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
  EngineReport* report_ = nullptr;
  StatusServer* server_ = nullptr;
};

void PrintConfiguration(const SpoolSettings& s) {
  const char* info = StderrIsJournal() ? JournalPrefix(LogLevel::Info) : "";
  std::fprintf(stderr,
               "%sCommand line: %s\n%sPrinter: %s\n%sFile source: %s\n%sForce delete: %s\n%sDelete "
               "after: %s\n%sSent as: %s\n",
               info, s.commandLine, info, s.printerName, info, s.fileSource, info,
               s.forceDelete ? "TRUE" : "FALSE", info,
               s.deleteAfterPrinted ? "printed" : "accepted", info,
               s.byteForByte ? "bytes" : "text");
}

extern "C" void OnOutOfMemory() {
  static const char kMessage[] = "druvo: out of memory\n";
  (void)!write(2, kMessage, sizeof kMessage - 1);
  std::_Exit(1);
}

// systemd's StateDirectory, else DRUVO_STATE_DIR, else /var/lib/druvo.
std::string StateFolder() {
  const char* own = std::getenv("DRUVO_STATE_DIR");
  return SystemdFolder("STATE_DIRECTORY", own != nullptr && *own != '\0' ? own : "/var/lib/druvo");
}

// The CUPS queue, or the printer reached directly; a stop ends any wait.
std::unique_ptr<Spooler> MakeSpooler(const PrinterAddress& address, double cupsTimeoutSeconds) {
  if (address.kind == PrinterAddress::Kind::Queue)
    return std::make_unique<CupsSpooler>(CupsOptions{cupsTimeoutSeconds, &g_stop});
  DirectOptions direct;
  direct.stopFlag = &g_stop;
  direct.note = [](const std::string& line) { LogLine(LogLevel::Warning, line); };
  direct.progress = FeedWatchdog;
  return std::make_unique<DirectPrinter>(address, MakePrinterLink(address), direct);
}

std::string ModeAndGroup(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const group* g = getgrgid(st.st_gid);
  return std::string("mode ") + mode + ", group " +
         (g != nullptr ? std::string(g->gr_name) : std::to_string(st.st_gid));
}

// Why another druvo keeps this one from the folder.
std::string Refusal(const FolderLock::Result& r, const std::string& folder,
                    const std::string& names) {
  const std::string who =
      "another druvo" + (r.holder != 0 ? " (pid " + std::to_string(r.holder) + ")" : std::string());
  if (r.pattern.empty()) return who + " already serves " + folder;
  return who + " serves " + folder + " with the pattern \"" + r.pattern +
         "\", and a name such as " + QuotedForLog(r.both) + " matches both it and \"" + names +
         "\"; two druvos may share a folder only with patterns no name can match both";
}

// What deleting once printed holds on a print server, and where it cannot
// tell, which side it takes: said at start and by --check.
constexpr const char* kPrintedModeRule =
    "delete after printed: each job carries a job-uuid of its own; a job the print server "
    "drops from its list on the connection that made it is taken as printed; one it no longer "
    "knows after a new connection (cupsd restarted, maybe losing it) is sent once more, said in a "
    "line. A server without job history (PreserveJobHistory No) cannot tell such a job from one "
    "that just finished: that receipt may then come out twice, never be lost";

// The same, for a receipt printer reached directly.
constexpr const char* kConfirmRule =
    "delete after printed: a receipt is deleted once the printer answers its own process ID "
    "(or a later one, with no stop between them); a paper end, an open cover or FEED is a "
    "pause; what a lost connection carried is settled by the printer's kept answer before "
    "anything is sent again. A printer that answers no process ID is said at its first "
    "connection, and then a job counts once the printer has taken its bytes";

// druvo --check: what would keep this configuration from printing, said as
// "ok:", "warning:" or "error:" lines. Nothing is printed on paper.
int RunCheck(const SpoolSettings& settings, const PrinterAddress& address) {
  int errors = 0;
  const auto say = [&errors](const char* kind, const std::string& text) {
    if (std::strcmp(kind, "error") == 0) ++errors;
    std::printf("%s: %s\n", kind, text.c_str());
  };
  const bool queue = address.kind == PrinterAddress::Kind::Queue;
  const std::unique_ptr<Spooler> printer = MakeSpooler(address, 10);
  const OpResult r = printer->OpenQueue(settings.printerName);
  printer->CloseQueue();
  if (r) {
    say("ok", (queue ? "queue " : "printer ") + std::string(settings.printerName) +
                  (queue ? "" : " answers"));
  } else if (queue && r.error.find("has no queue") != std::string::npos) {
    say("error", r.error + " (lpstat -e lists the queues)");
  } else {
    say("warning",
        r.error + (queue ? "; druvo waits for it" : "; druvo keeps the files until it answers"));
  }
  const DropFolder drop = DropFolder::Of(settings.fileSource, '/');
  const std::string folder = drop.Folder();
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    say("error", "folder " + folder + " does not exist");
    return errors != 0 ? 1 : 0;
  }
  if (access(folder.c_str(), R_OK | W_OK | X_OK) != 0) {
    say("error", "folder " + folder + " is not readable and writable by this user (" +
                     ModeAndGroup(st) + "): make it group druvo, mode 2775");
  } else {
    say("ok", "folder " + folder);
  }
  PosixFileSystem files;
  std::size_t waiting = 0;
  files.Search(drop, [&](const DirEntry& entry) {
    if (entry.attributes != kAttrArchive) return;
    ++waiting;
    const std::string path = drop.PathOf(entry.name);
    struct stat file;
    if (access(path.c_str(), R_OK) == 0 || stat(path.c_str(), &file) != 0) return;
    say("error", QuotedForLog(path) + " cannot be read by this user (" + ModeAndGroup(file) +
                     "): make the folder group druvo, mode 2775; producer umask 007");
  });
  say("ok", std::to_string(waiting) + " file(s) waiting");
  if (const FolderLock::Result other = FolderLock().Probe(folder, drop.names);
      other.outcome == FolderLock::Outcome::Busy) {
    say("error", Refusal(other, folder, drop.names));
  }
  if (queue && settings.deleteAfterPrinted != 0) say("ok", kPrintedModeRule);
  if (address.confirm) say("ok", kConfirmRule);
  return errors != 0 ? 1 : 0;
}

// Whether read leases can be had on other users' files: as root, or with
// CAP_LEASE (bit 28 of the effective set).
bool CanLeaseAnyFile() {
  if (geteuid() == 0) return true;
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return false;
  char line[256];
  unsigned long long effective = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "CapEff: %llx", &effective) == 1) break;
  }
  std::fclose(status);
  return (effective & (1ULL << 28)) != 0;
}

// Reads the signals' bytes from the wake pipe, or it would end every wait
// from then on.
void DrainWake(int wakeFd) {
  char sink[64];
  while (read(wakeFd, sink, sizeof sink) > 0) {
  }
}

// Waits (as long as it takes, until a stop) for the folder and its lock.
// False when another druvo serves its files, with that said; the caller
// then exits.
bool LockFolder(FolderLock& lock, const std::string& folder, const std::string& names, int pollMs,
                int wakeFd) {
  std::string said, noted;
  while (g_stop == 0) {
    const FolderLock::Result r = lock.Take(folder, names);
    if (!r.note.empty() && noted != r.note) LogLine(LogLevel::Warning, "warning: " + r.note);
    noted = r.note;
    switch (r.outcome) {
      case FolderLock::Outcome::Held:
        return true;
      case FolderLock::Outcome::Busy:
        LogLine(LogLevel::Error, Refusal(r, folder, names) + "; this one prints nothing and stops");
        SendEvent({EventKind::ConfigurationRefused,
                   "configuration refused: " + Refusal(r, folder, names)},
                  folder);
        return false;
      case FolderLock::Outcome::Missing:
      case FolderLock::Outcome::Failed:
        if (said != r.error) {
          said = r.error;
          LogLine(LogLevel::Error,
                  r.outcome == FolderLock::Outcome::Missing
                      ? "folder " + folder + " does not exist; waiting for it"
                      : "cannot serve " + folder + ": " + r.error + "; trying again");
        }
        break;
    }
    pollfd wake{wakeFd, POLLIN, 0};
    poll(&wake, 1, pollMs);
    DrainWake(wakeFd);
  }
  return true;  // stopping: nothing was printed
}

// Receipts the printer has but has not confirmed yet: their answers are
// due. Stopping waits for them while they keep coming (at most 60 s, within
// the units' TimeoutStopSec), so that the next start does not send them again.
int Run(int argc, char** argv) {
  std::set_new_handler(OnOutOfMemory);
  if (argc >= 2 && std::strcmp(argv[1], "status") == 0) return RunStatusCommand(argc, argv);
  SpoolSettings& settings = Settings();
  LoadDefaultSettings();
  CommandLineReport report = ReadCommandLineArgs(settings, argc, argv);
  if (report.help) {
    std::fputs(kPosixUsage, stdout);
    return 0;
  }
  if (report.version) {
    std::printf("druvo %s\n", DRUVO_VERSION);
    return 0;
  }
  PrinterAddress address = ParsePrinterAddress(settings.printerName, true);
  if (report.error.empty()) report.error = address.error;
  // Deleted once printed, a direct printer's receipts need its word that
  // they came out: the same as ?confirm=escpos.
  if (address.kind != PrinterAddress::Kind::Queue) {
    if (settings.deleteAfterPrinted != 0) address.confirm = true;
    if (address.confirm) settings.deleteAfterPrinted = 1;
  }
  struct stat folderStat;
  if (report.error.empty() && stat(settings.fileSource, &folderStat) == 0 &&
      S_ISDIR(folderStat.st_mode)) {
    std::string hint = settings.fileSource;
    if (hint.back() != '/') hint += '/';
    report.error = std::string("the pattern \"") + settings.fileSource +
                   "\" names a folder: add a wildcard, as '" + hint + "*.*'";
  }
  if (!report.error.empty()) {
    const char* level = StderrIsJournal() ? JournalPrefix(LogLevel::Error) : "";
    std::fprintf(stderr, "%sdruvo: %s (see --help)\n", level, report.error.c_str());
    SendEvent({EventKind::ConfigurationRefused, "configuration refused: " + report.error},
              settings.fileSource);
    return 2;
  }
  if (report.check) return RunCheck(settings, address);
  // Watch before the first line is out: a file created after it is always
  // known by its events, never by polling alone. Should this fail, the loop
  // tries again and says why. DRUVO_NO_INOTIFY=1 leaves polling alone.
  const std::string folder = DropFolder::Of(settings.fileSource, '/').Folder();
  FolderWatch watch(folder, settings.pollInterval);
  CycleDispatcher dispatcher(settings.pollInterval);
  const bool useEvents = std::getenv("DRUVO_NO_INOTIFY") == nullptr;
  if (useEvents) {
    std::string ignored;
    dispatcher.ArmTried(SteadyMs(), watch.Arm(&ignored));
  } else {
    dispatcher.NoWatch();
  }
  PrintConfiguration(settings);
  if (address.kind == PrinterAddress::Kind::Queue && settings.deleteAfterPrinted != 0)
    LogLine(LogLevel::Info, kPrintedModeRule);
  if (address.confirm) LogLine(LogLevel::Info, kConfirmRule);
  for (const std::string& warning : report.warnings)
    LogLine(LogLevel::Warning, "warning: " + warning);
  if (!CanLeaseAnyFile()) {
    LogLine(LogLevel::Warning,
            "warning: no read leases on other users' files (not root, no CAP_LEASE): a file "
            "another user renames or links in while still writing it is printed after " +
                std::to_string(settings.pollInterval) +
                " ms without a write; grant CAP_LEASE (AmbientCapabilities=CAP_LEASE) to check "
                "for its writer");
  }

  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    LogLine(LogLevel::Error, std::string("pipe: ") + std::strerror(errno));
    return 1;
  }
  const UniqueFd wakeRead(wake[0]), wakeWrite(wake[1]);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(number, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  g_wakeFd = wakeWrite.get();

  // One druvo per folder, and its memory kept apart from other folders'.
  FolderLock lock;
  const std::string names = DropFolder::Of(settings.fileSource, '/').names;
  if (!LockFolder(lock, folder, names, settings.pollInterval, wakeRead.get()))
    return kAnotherInstance;
  if (g_stop != 0) return 0;

  RecordList jobs = ListCreate();
  PosixFileSystem files;
  const std::unique_ptr<Spooler> spooler = MakeSpooler(address, CupsOptions{}.timeoutSeconds);
  if (address.kind == PrinterAddress::Kind::Queue || address.confirm) {
    // A queue may be created after druvo starts; until then files wait. A
    // printer asked to confirm says at once whether it answers process IDs.
    if (OpResult r = spooler->OpenQueue(settings.printerName); !r)
      LogLine(LogLevel::Warning, "warning: " + r.error);
    spooler->CloseQueue();
  }
  PosixStateStore state(StateFolder(), StateFileName(lock.Canonical(), '/'));
  DaemonPorts ports(dispatcher);
  EngineOptions options;
  // Without share modes, a file written within the last poll interval may
  // still be growing.
  options.settleTicks = static_cast<std::uint64_t>(settings.pollInterval) * kTicksPerMillisecond;
  // A printer's confirmations are read as they come, not once a second.
  if (address.confirm) options.jobQueryTicks = 0;
  SpoolEngine engine(
      settings, jobs,
      SpoolPorts{files, *spooler, ports, ports, &state, useEvents ? &watch : nullptr}, options);
  engine.SetStopFlag(&g_stop);
  StatusServer server;
  const auto render = [&settings](const EngineReport& r, bool json) {
    const char* deleted = settings.deleteAfterPrinted != 0 ? "printed" : "accepted";
    return FormatStatus(
        r, StatusContext{settings.printerName, settings.fileSource, deleted, RealTimeTicks()},
        json);
  };
  if (std::string why; !server.Start(RuntimeFolder(""), render, &why))
    LogLine(LogLevel::Info, "no status socket: " + why);
  ports.Attach(&engine.Report(), &server);
  Notify("READY=1");
  const long long watchdogMs = WatchdogPeriodMs();
  std::string told;

  // The fleet's view: events for the journal, and a metrics file kept up
  // to date for node_exporter.
  FleetView fleet(*spooler, settings.printerName, address.kind != PrinterAddress::Kind::Queue,
                  MetricsInput{folder, DRUVO_VERSION, {}},
                  [&folder](const Event& e) { SendEvent(e, folder); });
  if (!report.metricsFile.empty()) {
    fleet.KeepMetricsFile(std::make_unique<MetricsFile>(
        report.metricsFile,
        [path = report.metricsFile](const std::string& text) {
          return ReplaceFileWith(path, text);
        },
        [](LogLevel level, const std::string& line) { LogLine(level, line); }));
  }
  const auto updateMetrics = [&] {
    return fleet.Update(engine.Report(), SteadyMs(), RealTimeTicks());
  };
  SendEvent(StartedEvent(DRUVO_VERSION, settings.printerName, settings.fileSource), folder);
  long long metricsWait = updateMetrics();

  unsigned long polls = 0;
  std::string watchFault;
  bool everArmed = watch.Armed();
  if (!useEvents)
    LogLine(LogLevel::Info, "change notifications off: polling every " +
                                std::to_string(settings.pollInterval) + " ms");
  bool lockChecked = true;  // the folder the watch sees is the one locked
  while (g_stop == 0) {
    if (dispatcher.ArmDue(SteadyMs())) {
      // After the folder was deleted or moved: it may be back.
      std::string why;
      const bool armed = watch.Arm(&why);
      dispatcher.ArmTried(SteadyMs(), armed);
      if (armed) {
        if (everArmed || !watchFault.empty())
          LogLine(LogLevel::Info, "watching " + folder + " again");
        everArmed = true;
        watchFault.clear();
        lockChecked = false;  // it may be a new folder
      } else if (why != watchFault) {
        watchFault = why;
        LogLine(LogLevel::Warning, "no change notifications (" + why + "); polling every " +
                                       std::to_string(settings.pollInterval) + " ms");
      }
    }
    // What the events say unchanged needs no new stat, while they are heard.
    files.TrustCache(watch.Armed());
    long long wait = dispatcher.WaitMs(SteadyMs());
    if (watchdogMs > 0) wait = std::min(wait, watchdogMs);
    wait = std::min(wait, metricsWait);
    // The printer's replies (confirmations) wake the loop too.
    const int printerFd = spooler->WaitFd();
    pollfd fds[3] = {{wakeRead.get(), POLLIN, 0},
                     {watch.Armed() ? watch.Fd() : -1, POLLIN, 0},
                     {printerFd, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(wait)) > 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0) {
      // What the printer says is read whether or not a file waits for it
      // (its files may have been removed), or the loop would spin on it.
      std::map<int, JobStatus> settled;
      spooler->JobStates(settings.printerName, {}, &settled);
      if (!settled.empty()) dispatcher.Changed();
    }
    if ((fds[1].revents & POLLIN) != 0) {
      const WatchEvents events = watch.Drain();
      if (events.overflow)
        LogLine(LogLevel::Warning, "the folder's event queue overflowed; rescanning it");
      if (events.folderGone)
        LogLine(LogLevel::Warning, "the folder went away; polling until it is back");
      if (events.overflow || events.folderGone) files.ForgetAll();
      for (const std::string& name : events.names) files.Forget(name);
      if (events.changed) dispatcher.Changed();
      dispatcher.Watched(watch.Armed());
    }
    DrainWake(wakeRead.get());
    if (g_stop != 0) break;
    if (g_rescan != 0) {
      g_rescan = 0;
      LogLine(LogLevel::Info, "SIGHUP: rescanning " + folder);
      files.ForgetAll();
      dispatcher.Changed();
    }
    if (g_report != 0) {
      g_report = 0;
      LogLine(LogLevel::Info, "status: " + StatusLine(engine.Report()));
    }
    ports.Progress();
    metricsWait = updateMetrics();
    if (!dispatcher.Due(SteadyMs())) continue;
    // The folder deleted and made again is a new folder: lock it too. A
    // healthy watch would have said so, so only then is it looked at.
    if (!lockChecked || !watch.Armed()) {
      if (const FolderLock::Result r = lock.Take(folder, names);
          r.outcome == FolderLock::Outcome::Busy) {
        LogLine(LogLevel::Error, Refusal(r, folder, names) + "; this one stops");
        ListDestroy(&jobs);
        return kAnotherInstance;
      }
      lockChecked = true;
    }
    engine.RunSpoolCycle();
    dispatcher.Quiet(engine.Quiet());
    ++polls;
    server.Publish(engine.Report());
    metricsWait = updateMetrics();
    if (std::string line = StatusLine(engine.Report()); line != told) {
      told = line;
      Notify("STATUS=" + line);
    }
  }
  Notify("STOPPING=1");
  if (address.confirm) {
    engine.AwaitConfirmations(
        [&spooler] {
          pollfd replies{spooler->WaitFd(), POLLIN, 0};
          poll(&replies, 1, 100);
          FeedWatchdog();
        },
        10000, 60000);
  }
  LogLine(LogLevel::Info, "stopping after " + std::to_string(polls) + " polls");
  SendEvent({EventKind::Stopped, "druvo stopped"}, folder);
  ListDestroy(&jobs);
  return 0;
}

}  // namespace
}  // namespace druvo

int main(int argc, char** argv) { return druvo::Run(argc, argv); }
