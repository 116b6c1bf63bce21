// The hidden main frame: owns the tray icon and the job list, and runs one
// dispatch cycle per tick of its spool timer.
#pragma once

#include <memory>

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

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int OnCreate();
  void OnCommand(UINT id);
  void OnAbout();

  // StatusSink: the tray picture and the message box.
  void ShowIcon(int iconIndex) override;
  void ShowError(const char* message, const std::string& detail, bool repeated) override;
  void Log(const std::string& line) override;
  // SpoolTimer: the window timer.
  void Stop() override;
  void Start(int periodMs) override;
  void Sleep(int ms) override;
  std::uint64_t Now() override;

  SpoolSettings& settings_;
  CSystemTray tray_;
  RecordList jobs_;
  Win32FileSystem files_;
  Win32Spooler spooler_;
  std::unique_ptr<SpoolEngine> engine_;
};

}  // namespace druvo
