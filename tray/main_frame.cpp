#include "tray/main_frame.h"

#include <cstdio>
#include <cstring>

#include "res/resource.h"
#include "tray/dialogs.h"

namespace druvo {

namespace {

constexpr const char* kAppTitle = "Druvo";
// Posted by the spool worker: what it shows changed; the error box is due.
constexpr UINT WM_WORKER_CHANGED = WM_APP + 1;
constexpr UINT WM_WORKER_ERROR = WM_APP + 2;
constexpr std::size_t kTooltipLimit = 63;
constexpr UINT kShowTimerMs = 1000;
// A call to the printer longer than this shows as an error while it lasts.
constexpr unsigned long kStalledMs = 5000;
// Quit waits this long for the cycle; a direct printer that takes nothing
// more is reset within 1 s.
constexpr DWORD kQuitWaitMs = 1800;

const WindowClass& FrameWindowClass() {
  static const WindowClass cls("DruvoMainFrame", CS_DBLCLKS,
                               LoadIconA(AppInstance(), MAKEINTRESOURCEA(IDR_FRAME)));
  return cls;
}

}  // namespace

CMainFrame::CMainFrame(SpoolSettings& settings, SpoolWorker::ClaimFolder claimFolder)
    : settings_(settings),
      worker_(std::make_unique<SpoolWorker>(settings, nullptr, WM_WORKER_CHANGED, WM_WORKER_ERROR,
                                            std::move(claimFolder))) {
  Log(LogLevel::Info, std::string("start: Command line: ") + settings_.commandLine + "; Printer: " +
                          settings_.printerName + "; File source: " + settings_.fileSource +
                          "; Force delete: " + (settings_.forceDelete != 0 ? "TRUE" : "FALSE") +
                          "; Sent as: " + (settings_.byteForByte != 0 ? "bytes" : "text"));
}

CMainFrame::~CMainFrame() { Destroy(); }

bool CMainFrame::LoadFrame(int* status) {
  // Ours until the window takes it.
  UniqueMenu menu(LoadMenuA(AppInstance(), MAKEINTRESOURCEA(IDR_FRAME)));
  char title[64] = "Druvo";
  LoadStringA(AppInstance(), IDR_FRAME, title, sizeof title);
  if (!Create(FrameWindowClass(), 0, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu.get())) {
    *status = quietExit_ ? 0 : 1;
    return false;
  }
  static_cast<void>(menu.release());
  return true;
}

int CMainFrame::OnCreate() {
  char tip[kSettingsTextSize * 3];
  // The tray takes the ANSI code page only; the settings are UTF-8.
  std::snprintf(tip, sizeof tip, "Direct POS ROW printing:\n %s   %s",
                AnsiFromUtf8(settings_.printerName).c_str(),
                AnsiFromUtf8(settings_.fileSource).c_str());
  tip[kTooltipLimit] = '\0';
  baseTip_ = tip;
  HICON info = LoadIconA(nullptr, MAKEINTRESOURCEA(32516));  // IDI_ASTERISK
  if (!tray_.AddIcon(nullptr, WM_TRAY_NOTIFY, tip, info, IDR_TRAY_MENU)) {
    quietExit_ = tray_.TipTooLong();
    if (quietExit_ || !tray_.IconWanted()) return -1;  // Windows older than XP
    // The taskbar is not there yet: print anyway and add the icon later.
    Log(LogLevel::Warning,
        "the notification area refused the icon; printing goes on, and the icon is added when "
        "the taskbar is ready");
  }
  tray_.SetDefaultItem(4, TRUE);
  ShowWorker();
  SetTimer(Handle(), SPOOL_TIMER_ID, kShowTimerMs, nullptr);
  worker_->SetWindow(Handle());
  if (!worker_->Start()) {
    Log(LogLevel::Error, "cannot start the printing thread");
    return -1;
  }
  return 0;
}

void CMainFrame::OnTimer() {
  if (!CSystemTray::IconShown() && tray_.IconWanted() && tray_.EnsureShown()) {
    Log(LogLevel::Info, "tray icon added");
  }
  ShowWorker();  // a long wait for the printer shows as it lasts
}

void CMainFrame::ShowWorker() {
  const SpoolWorker::Shown shown = worker_->Snapshot();
  EngineState state = shown.state;
  SpoolWorker::Shown told = shown;
  // Printing that waits past the first seconds on the printer or the print
  // server is no longer "busy": the error picture, and the tooltip says why.
  if (state == EngineState::Busy && shown.callMs >= kStalledMs) {
    state = EngineState::Error;
    told.fault = "waiting " + std::to_string(shown.callMs / 1000) + " s for printer " +
                 settings_.printerName;
  }
  const int index = state == EngineState::Error  ? settings_.errorIcon
                    : state == EngineState::Busy ? settings_.busyIcon
                                                 : settings_.idleIcon;
  if (index != iconShown_ && index >= 0 && index < 3) {
    iconShown_ = index;
    tray_.ChangeIconById(kTrayIconTable[index]);
  }
  UpdateTooltip(told);
}

void CMainFrame::OnShowError() {
  ShowWorker();  // the error picture first
  const PopupOpen open(popupsOpen_);
  // In front of a full-screen till application, and on top until confirmed.
  MessageBoxA(Handle(), worker_->ErrorMessage(), kAppTitle,
              MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
  worker_->ErrorConfirmed();
}

void CMainFrame::OnDestroy() {
  KillTimer(Handle(), SPOOL_TIMER_ID);
  bool stopped = worker_->Stop(kQuitWaitMs);
  if (!stopped && worker_->FinishingJob()) {
    tray_.SetTooltip("Druvo: quitting: waiting for the printer to take the receipt under way");
    stopped = worker_->Stop(SpoolWorker::kFinishAtQuitMs);
  }
  if (!stopped && worker_->AwaitingConfirmations()) {
    // Receipts the printer has: a little longer, so that they are settled
    // now and never sent again.
    tray_.SetTooltip("Druvo: quitting: waiting for the printer to confirm receipts");
    stopped = worker_->Stop(SpoolWorker::kConfirmAtQuitMs + 1000);
  }
  if (!stopped) {
    // A call to the printer or the print server that cannot be cut short:
    // the program ends around it; a direct printer's job was reset already.
    Log(LogLevel::Warning, "quit while a call to the printer still waited; it is left behind");
    static_cast<void>(worker_.release());
  }
  tray_.DeleteIcon();
  PostQuitMessage(0);
}

bool CMainFrame::FrontOpenPopup() {
  // About, Config and the error box are owned by the frame; while one is
  // open, the menu brings it forward instead of opening another.
  if (popupsOpen_ == 0) return false;
  HWND popup = GetLastActivePopup(Handle());
  if (popup != nullptr && popup != Handle() && IsWindowVisible(popup)) SetForegroundWindow(popup);
  return true;
}

void CMainFrame::OnAbout() {
  CAboutBox about;
  int answer = 0;
  {
    const PopupOpen open(popupsOpen_);
    answer = about.DoModal(Handle());
  }
  if (answer != 0) return;
  // Quit through the window: WM_DESTROY removes the icon and ends the loop.
  Log(LogLevel::Info, "quit");
  DestroyWindow(Handle());
}

void CMainFrame::OnCommand(UINT id) {
  switch (id) {
    case ID_TRAY_ABOUT:
      if (!FrontOpenPopup()) OnAbout();
      break;
    case ID_APP_ABOUT:
      if (!FrontOpenPopup()) {
        const PopupOpen open(popupsOpen_);
        CAboutBox().DoModal(Handle());
      }
      break;
    case ID_TRAY_CONFIG:
      if (!FrontOpenPopup()) {
        const PopupOpen open(popupsOpen_);
        CConfigDialog(settings_).DoModal(Handle());
      }
      break;
    case ID_APP_EXIT:
      PostMessageA(Handle(), WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

LRESULT CMainFrame::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate();
    case WM_TIMER:
      OnTimer();
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_WORKER_CHANGED:
      ShowWorker();
      return 0;
    case WM_WORKER_ERROR:
      OnShowError();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return Window::WindowProc(message, wParam, lParam);
}

void CMainFrame::UpdateTooltip(const SpoolWorker::Shown& shown) {
  std::string tip = baseTip_;
  if (shown.logFailed) tip = "Druvo: cannot write its log file";
  if (!warning_.empty()) tip = "Druvo: " + warning_;
  if (!shown.fault.empty()) tip = "Druvo: " + shown.fault;  // names the file at the head
  // What waits goes first: the tip holds 127 characters, and a long fault
  // or path is cut at its end.
  if (shown.waiting != 0) tip = std::to_string(shown.waiting) + " waiting. " + tip;
  if (tip == tipShown_) return;
  tipShown_ = tip;
  tray_.SetTooltip(tip == baseTip_ ? tip.c_str() : AnsiFromUtf8(tip).c_str());
}

void CMainFrame::Warn(const std::string& warning) {
  Log(LogLevel::Warning, "warning: " + warning);
  if (warning.find("single argument") != std::string::npos) warning_ = warning;
}

void CMainFrame::Log(LogLevel level, const std::string& line) {
  if (worker_) worker_->Log(level, line);
}

}  // namespace druvo
