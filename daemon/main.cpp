// druvo [--delete-after=accepted|printed] [PRINTER [PATTERN [TRUE]]]
// Forwards every file waiting in a drop folder, oldest first, as a raw job to
// a CUPS queue or a printer reached directly, and deletes it once the queue
// has accepted it (or, with --delete-after=printed, once it is printed).
//
// main reads the configuration, then starts, loops and stops the daemon:
// the journal's lines are in journal.cpp, the signals in signals.cpp,
// --check in check.cpp, the loop and its handlers in spool_daemon.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/settings.h"
#include "daemon/check.h"
#include "daemon/control.h"
#include "daemon/journal.h"
#include "daemon/signals.h"
#include "daemon/spool_daemon.h"
#include "platform/posix/unique_fd.h"

namespace druvo {
namespace {

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

// Whether read leases can be had on other users' files: as root, or with
// CAP_LEASE (bit 28 of the effective set).
bool CanLeaseAnyFile() {
  if (geteuid() == 0) return true;
  const UniqueFile status(std::fopen("/proc/self/status", "re"));
  if (!status) return false;
  char line[256];
  unsigned long long effective = 0;
  while (std::fgets(line, sizeof line, status.get()) != nullptr) {
    if (std::sscanf(line, "CapEff: %llx", &effective) == 1) break;
  }
  return (effective & (1ULL << 28)) != 0;
}

// The printer's address and the mode it implies, and what is wrong with
// the configuration (into report.error).
PrinterAddress Configure(SpoolSettings& settings, CommandLineReport& report) {
  PrinterAddress address = ParsePrinterAddress(settings.printerName, true);
  if (report.error.empty()) report.error = address.error;
  ApplyPrintedModeRule(address, settings.deleteAfterPrinted);
  struct stat folder;
  if (report.error.empty() && stat(settings.fileSource, &folder) == 0 && S_ISDIR(folder.st_mode)) {
    std::string hint = settings.fileSource;
    if (hint.back() != '/') hint += '/';
    report.error = std::string("the pattern \"") + settings.fileSource +
                   "\" names a folder: add a wildcard, as '" + hint + "*.*'";
  }
  return address;
}

int Refused(const SpoolSettings& settings, const std::string& error) {
  const char* level = StderrIsJournal() ? JournalPrefix(LogLevel::Error) : "";
  std::fprintf(stderr, "%sdruvo: %s (see --help)\n", level, error.c_str());
  SendEvent(RefusedEvent(error), settings.fileSource);
  return 2;
}

// The configuration, and what the start found, in the log.
void SayConfiguration(const SpoolSettings& settings, const PrinterAddress& address,
                      const CommandLineReport& report) {
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
}

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
  const PrinterAddress address = Configure(settings, report);
  if (!report.error.empty()) return Refused(settings, report.error);
  if (report.check) return RunCheck(settings, address);

  SpoolDaemon daemon(settings, address, report.metricsFile);
  SayConfiguration(settings, address, report);
  if (std::string why; !CatchSignals(&why)) {
    LogLine(LogLevel::Error, why);
    return 1;
  }
  if (const int status = daemon.Start(); status != 0 || Signals().stop != 0) return status;
  const int status = daemon.Loop();
  if (status == 0) daemon.Stop();
  return status;
}

}  // namespace
}  // namespace druvo

int main(int argc, char** argv) { return druvo::Run(argc, argv); }
