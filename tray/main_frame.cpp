#include "tray/main_frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/status_pipe.h"
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
// How long a view waits for the service's answer: the window's own thread
// asks.
constexpr DWORD kAskServiceMs = 300;

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
  Log(LogLevel::Info, "start: " + SpoolWorker::StartLine(settings_));
}

CMainFrame::CMainFrame(SpoolSettings& settings, ViewOf view)
    : settings_(settings), view_(true), instance_(std::move(view.instance)) {}

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
  if (view_) return 0;
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

SpoolWorker::Shown CMainFrame::AskService() {
  SpoolWorker::Shown shown;
  std::string json;
  if (!AskStatusPipe(instance_, 'j', &json, kAskServiceMs) || StatusField(json, "state").empty()) {
    shown.state = EngineState::Error;
    shown.fault = "the service " + ServiceName(instance_) + " does not answer";
    return shown;
  }
  shown.state = StateNamed(StatusField(json, "state"));
  shown.fault = StatusField(json, "reason");
  const bool paused = StatusField(json, "paused") == "true";
  if (shown.fault.empty() && paused) shown.fault = "paused";
  // Administrators pause and resume the service from here; the service
  // refuses others.
  tray_.SetExtraItem(paused ? ID_VIEW_RESUME : ID_VIEW_PAUSE,
                     paused ? "Resume printing" : "Pause printing");
  shown.waiting =
      static_cast<std::size_t>(std::strtoul(StatusField(json, "waiting").c_str(), nullptr, 10));
  // What Config shows, and the tooltip's first line: the service's.
  std::snprintf(settings_.printerName, sizeof settings_.printerName, "%s",
                StatusField(json, "printer").c_str());
  std::snprintf(settings_.fileSource, sizeof settings_.fileSource, "%s",
                StatusField(json, "pattern").c_str());
  std::string tip = "Druvo service:\n " + AnsiFromUtf8(settings_.printerName) + "   " +
                    AnsiFromUtf8(settings_.fileSource);
  baseTip_ = tip.substr(0, kTooltipLimit);
  return shown;
}

void CMainFrame::AskToPause(bool pause) {
  std::string answer;
  if (!AskStatusPipe(instance_, pause ? 'p' : 'r', &answer, 2000)) {
    answer = "the service " + ServiceName(instance_) + " does not answer";
  } else if (answer.rfind("refused: ", 0) != 0) {
    ShowWorker();
    return;
  }
  const PopupOpen open(popupsOpen_);
  MessageBoxA(Handle(), AnsiFromUtf8(answer).c_str(), kAppTitle, MB_OK | MB_ICONEXCLAMATION);
}

void CMainFrame::ShowWorker() {
  const SpoolWorker::Shown told = view_ ? AskService() : worker_->Seen();
  const EngineState state = told.state;
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
  const bool stopped = !worker_ || worker_->StopAsAtQuit([this](const char* why) {
    tray_.SetTooltip(("Druvo: quitting: " + std::string(why)).c_str());
  });
  if (!stopped) {
    // A call to the printer or the print server that cannot be cut short:
    // the program ends around it; a direct printer's job was reset already.
    Log(LogLevel::Warning, "quit while a call to the printer still waited; it is left behind");
    static_cast<void>(worker_.release());
    leftBehind_ = true;
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
  INT_PTR answer = 0;
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
    case ID_VIEW_PAUSE:
    case ID_VIEW_RESUME:
      if (view_) AskToPause(id == ID_VIEW_PAUSE);
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
  if (worker_) {
    worker_->Log(level, line);
  } else {
    OutputDebugStringA(("druvo: " + line + "\n").c_str());
  }
}

}  // namespace druvo
