// The hidden main frame: owns the tray icon and the job list, and runs one
// dispatch cycle per tick of its spool timer.
#pragma once

#include <memory>
#include <string>

#include "platform/win32/folder_watch_win32.h"
#include "platform/win32/win32_ports.h"
#include "spool/spool_cycle.h"
#include "tray/system_tray.h"
#include "tray/window.h"

namespace druvo {

class CMainFrame : public Window, private StatusSink, private SpoolTimer {
 public:
  explicit CMainFrame(SpoolSettings& settings);
  ~CMainFrame() override;

  // Creates the frame from its resources without showing it.
  bool LoadFrame();
  // One line in the log file (and the debugger's output).
  void Log(LogLevel level, const std::string& line) override;
  // What the command line's rules ignored: logged, and a single argument
  // also shown in the tooltip.
  void Warn(const std::string& warning);

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int OnCreate();
  void OnTimer();
  void OnFolderChanged();
  void RunCycle();
  void WatchFolder();
  void OnCommand(UINT id);
  void OnAbout();
  // Brings an open dialog or message box to the front; true if there was one.
  bool FrontOpenPopup();
  void UpdateTooltip();

  // StatusSink: the tray picture, the tooltip and the message box.
  void ShowIcon(int iconIndex) override;
  void ShowError(const char* message, const std::string& detail, bool repeated) override;
  void ShowFault(const std::string& fault) override;
  // SpoolTimer: the window timer.
  void Stop() override;
  void Start(int periodMs) override;
  void Sleep(int ms) override;
  std::uint64_t Now() override;

  SpoolSettings& settings_;
  // The engine's copy: the drop-folder pattern in UTF-8, as paths travel.
  SpoolSettings engineSettings_;
  CSystemTray tray_;
  RecordList jobs_;
  Win32FileSystem files_;
  std::unique_ptr<Spooler> spooler_;  // the Windows spooler, or a direct printer
  std::wstring dataFolder_;
  Win32LogFile log_;
  Win32StateStore state_;
  std::unique_ptr<SpoolEngine> engine_;
  std::unique_ptr<Win32FolderWatch> watch_;
  std::wstring watchedFolder_;
  bool inCycle_ = false;
  bool changedDuringCycle_ = false;
  std::string baseTip_;
  std::string fault_;
  bool logFailed_ = false;
  std::size_t waitingShown_ = 0;  // in the tooltip
};

}  // namespace druvo
