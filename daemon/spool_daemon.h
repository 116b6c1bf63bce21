// The running daemon: the folder's watch and lock, the printer, the engine
// and what tells about it (the status socket, systemd, the fleet view),
// and the loop that waits on them all. One handler per thing that happens.
#pragma once

#include <memory>
#include <string>

#include "core/settings.h"
#include "daemon/control.h"
#include "platform/posix/folder_lock.h"
#include "platform/posix/folder_watch.h"
#include "platform/posix/posix_files.h"
#include "spool/dispatcher.h"
#include "spool/metrics.h"
#include "spool/printer_address.h"
#include "spool/spool_cycle.h"
#include "spool/spool_host.h"

namespace druvo {

constexpr int kAnotherInstance = 4;  // exit status: another druvo serves the folder

// The CUPS queue, or the printer reached directly; a stop ends any wait.
std::unique_ptr<TrackingSpooler> MakeSpooler(const PrinterAddress& address,
                                             double cupsTimeoutSeconds);
// Why another druvo keeps this one from the folder.
std::string Refusal(const FolderLock::Result& r, const std::string& folder,
                    const std::string& names);
// What deleting once printed holds, on a print server and on a printer
// reached directly: said at start and by --check.
extern const char* const kPrintedModeRule;
extern const char* const kConfirmRule;

class SpoolDaemon {
 public:
  SpoolDaemon(const SpoolSettings& settings, const PrinterAddress& address,
              std::string metricsFile);
  ~SpoolDaemon();
  SpoolDaemon(const SpoolDaemon&) = delete;
  SpoolDaemon& operator=(const SpoolDaemon&) = delete;

  // Locks the folder (waiting for it to exist) and builds the rest; an exit
  // status when it may not run (another druvo serves its files).
  int Start();
  // Until a stop signal (0), or another druvo took the folder.
  int Loop();
  // Waits for the confirmations due, within the units' stop timeout.
  void Stop();

 private:
  class Ports;
  bool LockFolder();
  void ArmWatch();
  void FolderEvents();
  void SignalsCaught();
  // The folder deleted and made again is a new folder: locked too. False
  // when another druvo has it now.
  bool StillOurs();
  void Cycle();

  const SpoolSettings& settings_;
  PrinterAddress address_;
  std::string metricsFile_;
  std::string folder_;
  std::string names_;
  bool useEvents_;
  FolderWatch watch_;
  CycleDispatcher dispatcher_;
  FolderLock lock_;
  RecordList jobs_;
  PosixFileSystem files_;
  std::unique_ptr<TrackingSpooler> spooler_;
  std::unique_ptr<StateStore> state_;
  std::unique_ptr<Ports> ports_;
  std::unique_ptr<SpoolHost> host_;
  StatusServer server_;
  long long watchdogMs_ = 0;
  unsigned long polls_ = 0;
  std::string told_;        // the status line systemd last heard
  std::string watchFault_;  // why the watch could not be armed, said once
  bool everArmed_ = false;
  bool lockChecked_ = true;  // the folder the watch sees is the one locked
};

}  // namespace druvo
