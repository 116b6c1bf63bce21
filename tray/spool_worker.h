// The spool cycle on a thread of its own, so that no wait for a printer or a
// print server holds up the window. The worker runs the dispatcher, the
// folder watch and the engine; the window shows what it reports (picture,
// tooltip, the error box) and stays responsive whatever the printer does.
#pragma once

#include <windows.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/reentrant_lock.h"
#include "platform/win32/folder_watch_win32.h"
#include "platform/win32/win32_ports.h"
#include "spool/dispatcher.h"
#include "spool/metrics.h"
#include "spool/spool_cycle.h"
#include "spool/spool_host.h"

namespace druvo {

class SpoolWorker : private StatusSink, private SpoolTimer {
 public:
  // What the window shows.
  struct Shown {
    EngineState state = EngineState::Idle;
    std::string fault;
    std::size_t waiting = 0;
    bool logFailed = false;
    // How long a call to the printer or the print server has been going
    // on (ms); 0 when none is.
    unsigned long callMs = 0;
  };

  // changed: posted to window when what is shown changed; error: posted when
  // the error box is to be shown (ErrorMessage), answered by ErrorConfirmed.
  // Without a window (the service) nothing is posted and no error waits for
  // a box: the log and the Event Log tell.
  // claimFolder: takes the folder for this Druvo again once it exists
  // (false, with why, when another Druvo serves its names).
  using ClaimFolder = std::function<bool(std::string* why)>;
  SpoolWorker(const SpoolSettings& settings, HWND window, UINT changed, UINT error,
              ClaimFolder claimFolder = {});
  ~SpoolWorker() override;
  SpoolWorker(const SpoolWorker&) = delete;
  SpoolWorker& operator=(const SpoolWorker&) = delete;

  void SetWindow(HWND window) { window_ = window; }
  // As printing runs them: the printed mode's rule applied.
  const SpoolSettings& Settings() const { return settings_; }
  // What the log's start line says of the settings.
  static std::string StartLine(const SpoolSettings& settings);
  bool Start();
  // Asks the cycle to stop and waits at most timeoutMs for it. False when it
  // is still blocked in a call: the worker must then outlive the program.
  bool Stop(DWORD timeoutMs);
  // Stopping, and waiting (bounded) for the printer to confirm receipts.
  bool AwaitingConfirmations() const { return awaiting_ != 0; }
  static constexpr DWORD kConfirmAtQuitMs = 10000;
  // A direct printer still taking a receipt at Quit: it may finish within
  // this (cut off, its start would come out twice).
  bool FinishingJob() const;
  static constexpr DWORD kFinishAtQuitMs = 10000;
  // Ends printing as Quit does: a receipt under way is finished (or, on a
  // direct printer that takes nothing more, reset) and receipts awaiting
  // confirmation are waited for, each for its bound. stage tells why the
  // wait goes on. False when a call still waits: the worker must then
  // outlive the program.
  bool StopAsAtQuit(const std::function<void(const char* why)>& stage);
  // The longest StopAsAtQuit takes.
  static constexpr DWORD kQuitWaitMs = 1800;
  static constexpr DWORD kStopAtMostMs =
      kQuitWaitMs + kFinishAtQuitMs + kConfirmAtQuitMs + 1000;

  // No file is sent while paused; a receipt under way finishes.
  void SetPaused(bool paused);
  bool Paused() const { return InterlockedCompareExchange(&paused_, 0, 0) != 0; }

  Shown Snapshot();
  // What to show: a call to the printer or the print server that lasts
  // past the first seconds is no longer "busy" but an error, saying so.
  Shown Seen();
  // The engine's report as last published, for those who ask from another
  // thread.
  EngineReport Published();
  const char* ErrorMessage() const { return errorMessage_; }
  void ErrorConfirmed() { SetEvent(confirmed_.get()); }
  // One line in the log file (and the debugger's output); from any thread.
  void Log(LogLevel level, const std::string& line) override;
  // Before Start: keep a metrics file (full path ending in .prom) for
  // windows_exporter's textfile collector.
  void SetMetricsFile(const std::string& path);

 private:
  class TimedSpooler;
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  void RunLoop();
  void ArmWatch();
  void Changed();

  // StatusSink, called on the worker thread.
  void ShowState(EngineState state) override;
  void ShowError(const char* message, const std::string& detail, bool repeated) override;
  void ShowFault(const std::string& fault) override;
  // SpoolTimer: the dispatcher's timer; the pause after a failure ends at a stop.
  void Stop() override;
  void Start(int periodMs) override;
  void Sleep(int ms) override;
  std::uint64_t Now() override;

  SpoolSettings settings_;  // the drop-folder pattern in UTF-8, as paths travel
  HWND window_;
  UINT changedMessage_;
  UINT errorMessageId_;
  RecordList jobs_;
  Win32FileSystem files_;
  std::unique_ptr<Spooler> printer_;        // the Windows spooler, or a direct printer
  JobTracker* tracker_ = &NoJobTracking();  // the direct printer's confirmations
  std::unique_ptr<TimedSpooler> spooler_;
  std::wstring dataFolder_;
  Win32LogFile log_;
  Win32StateStore state_;
  std::unique_ptr<SpoolHost> host_;
  Win32FolderWatch watch_;
  std::wstring watchedFolder_;
  CycleDispatcher dispatcher_;

  UniqueKernel thread_;
  UniqueKernel wake_;       // manual-reset: set once, at the stop
  UniqueKernel confirmed_;  // the error box was confirmed
  UniqueKernel nudge_;      // auto-reset: printing resumed
  volatile std::sig_atomic_t stop_ = 0;
  ClaimFolder claim_;
  bool refused_ = false;  // another Druvo serves the folder: nothing is printed
  const char* errorMessage_ = "";

  ReentrantLock logLock_;  // one line at a time in the log file
  ReentrantLock lock_;     // guards what follows
  Shown shown_;
  volatile LONG posted_ = 0;
  volatile LONG awaiting_ = 0;
  mutable volatile LONG paused_ = 0;
  EngineReport published_;
  std::unique_ptr<Win32StateStore> metricsStore_;
  std::unique_ptr<MetricsFile> metrics_;  // for the fleet view, once running
  bool direct_ = false;                   // a printer reached without a spooler
};

}  // namespace druvo
