// The hidden main frame: owns the tray icon and shows what the spool worker
// reports. It never waits for a printer, so the icon, the menu and the
// dialogs answer at once whatever the printer does.
#pragma once

#include <memory>
#include <string>

#include "tray/spool_worker.h"
#include "tray/system_tray.h"
#include "tray/window.h"

namespace druvo {

class CMainFrame : public Window {
 public:
  explicit CMainFrame(SpoolSettings& settings, SpoolWorker::ClaimFolder claimFolder = {});
  // A view of the service INSTANCE: what it shows comes over the service's
  // pipe, and nothing is printed here.
  struct ViewOf {
    std::string instance;
  };
  CMainFrame(SpoolSettings& settings, ViewOf view);
  ~CMainFrame() override;

  // Creates the frame from its resources without showing it. False with
  // *status 0 when the program is to end quietly (the tooltip text is too
  // long), else with the exit status.
  bool LoadFrame(int* status);
  // One line in the log file (and the debugger's output).
  void Log(LogLevel level, const std::string& line);
  // True once Quit ended the program around a call that still waits.
  bool LeftWorkBehind() const { return leftBehind_; }
  // What the command line's rules ignored: logged, and a single argument
  // also shown in the tooltip.
  void Warn(const std::string& warning);
  void SetMetricsFile(const std::string& path) {
    if (worker_) worker_->SetMetricsFile(path);
  }

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int OnCreate();
  void OnTimer();
  void OnDestroy();
  void ShowWorker();
  // What the service says, for a view; the error picture when none answers.
  SpoolWorker::Shown AskService();
  // A view's Pause or Resume printing; the service's refusal in a box.
  void AskToPause(bool pause);
  void OnShowError();
  void OnCommand(UINT id);
  void OnAbout();
  // Brings an open dialog or message box to the front; true if there was one.
  // One asked for counts as open before it first shows: a modal box shows
  // only once its queue is empty, so a second request already waiting there
  // would otherwise open a second box under it.
  bool FrontOpenPopup();
  // Marks a popup open for its lifetime.
  struct PopupOpen {
    explicit PopupOpen(int& open) : open_(open) { ++open_; }
    ~PopupOpen() { --open_; }
    PopupOpen(const PopupOpen&) = delete;
    PopupOpen& operator=(const PopupOpen&) = delete;
    int& open_;
  };
  void UpdateTooltip(const SpoolWorker::Shown& shown);

  SpoolSettings& settings_;
  CSystemTray tray_;
  std::unique_ptr<SpoolWorker> worker_;
  std::string baseTip_;
  std::string warning_;  // a command line half ignored, for the tooltip
  std::string tipShown_;
  int iconShown_ = -1;
  bool quietExit_ = false;
  int popupsOpen_ = 0;
  bool leftBehind_ = false;
  bool view_ = false;
  std::string instance_;  // of the service a view shows
};

}  // namespace druvo
