#include "tray/main_frame.h"

#include <cstdio>
#include <cstring>

#include "platform/direct/direct_printer.h"
#include "res/resource.h"
#include "tray/dialogs.h"

namespace druvo {

namespace {

constexpr const char* kAppTitle = "Druvo";
// Posted by the folder watch when the drop folder changes.
constexpr UINT WM_FOLDER_CHANGED = WM_APP + 1;
constexpr std::size_t kTooltipLimit = 63;

const WindowClass& FrameWindowClass() {
  static const WindowClass cls("DruvoMainFrame", CS_DBLCLKS,
                               LoadIconA(AppInstance(), MAKEINTRESOURCEA(IDR_FRAME)));
  return cls;
}

}  // namespace

CMainFrame::CMainFrame(SpoolSettings& settings)
    : settings_(settings),
      engineSettings_(settings),
      jobs_(ListCreate()),
      dataFolder_(DataFolder()),
      log_(dataFolder_),
      state_(dataFolder_,
             WideFromUtf8(StateFileName(
                 Utf8FromWide(CanonicalFolder(DropFolderOf(settings.fileSource)).c_str()), '\\'))) {
  Log(LogLevel::Info, std::string("start: Command line: ") + settings_.commandLine + "; Printer: " +
                          settings_.printerName + "; File source: " + engineSettings_.fileSource +
                          "; Force delete: " + (settings_.forceDelete != 0 ? "TRUE" : "FALSE"));
  const PrinterAddress address = ParsePrinterAddress(settings_.printerName, false);
  if (address.kind == PrinterAddress::Kind::Socket) {
    DirectOptions direct;
    direct.note = [this](const std::string& line) { Log(LogLevel::Warning, line); };
    spooler_ = std::make_unique<DirectPrinter>(address, direct);
  } else {
    spooler_ = std::make_unique<Win32Spooler>();
  }
  engine_ = std::make_unique<SpoolEngine>(
      engineSettings_, jobs_,
      SpoolPorts{files_, *spooler_, *this, *this, dataFolder_.empty() ? nullptr : &state_});
}

CMainFrame::~CMainFrame() {
  Destroy();
  ListDestroy(&jobs_);
}

bool CMainFrame::LoadFrame() {
  HMENU menu = LoadMenuA(AppInstance(), MAKEINTRESOURCEA(IDR_FRAME));
  char title[64] = "Druvo";
  LoadStringA(AppInstance(), IDR_FRAME, title, sizeof title);
  if (!Create(FrameWindowClass(), 0, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu)) {
    if (menu != nullptr) DestroyMenu(menu);
    return false;
  }
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
    if (!tray_.IconWanted()) return -1;  // Windows older than XP
    // The taskbar is not there yet: print anyway and add the icon later.
    Log(LogLevel::Warning,
        "the notification area refused the icon; printing goes on, and the icon is added when "
        "the taskbar is ready");
  }
  tray_.ChangeIconById(kTrayIconTable[settings_.idleIcon]);
  tray_.SetDefaultItem(4, TRUE);
  // The log failed, or the command line was half ignored, before the icon was there.
  if (logFailed_ || !fault_.empty()) UpdateTooltip();
  SetTimer(Handle(), SPOOL_TIMER_ID, static_cast<UINT>(settings_.pollInterval), nullptr);
  const std::string source = engineSettings_.fileSource;
  const std::size_t cut = source.rfind('\\');
  if (cut != std::string::npos) watchedFolder_ = WideFromUtf8(source.substr(0, cut + 1));
  watch_ = std::make_unique<Win32FolderWatch>(Handle(), WM_FOLDER_CHANGED);
  WatchFolder();
  return 0;
}

void CMainFrame::WatchFolder() {
  // Without a watch the timer alone finds the files, as before.
  std::string why;
  if (!watchedFolder_.empty() && !watch_->Running()) watch_->Start(watchedFolder_, &why);
}

void CMainFrame::RunCycle() {
  // A modal box inside a cycle keeps dispatching messages: a change seen
  // meanwhile waits for the end of this cycle rather than starting another.
  if (inCycle_) {
    changedDuringCycle_ = true;
    return;
  }
  inCycle_ = true;
  engine_->RunSpoolCycle();
  inCycle_ = false;
  if (engine_->Report().waiting != waitingShown_) UpdateTooltip();
  if (changedDuringCycle_) {
    changedDuringCycle_ = false;
    PostMessageA(Handle(), WM_FOLDER_CHANGED, 0, 0);
  }
}

void CMainFrame::OnTimer() {
  if (!CSystemTray::IconShown() && tray_.IconWanted() && tray_.EnsureShown()) {
    Log(LogLevel::Info, "tray icon added");
  }
  if (watch_ && !watch_->Running()) WatchFolder();
  RunCycle();
}

void CMainFrame::OnFolderChanged() {
  if (watch_) watch_->Taken();
  RunCycle();
}

bool CMainFrame::FrontOpenPopup() {
  // About, Config and the error box are owned by the frame; while one is
  // open, the menu brings it forward instead of opening another.
  HWND popup = GetLastActivePopup(Handle());
  if (popup == nullptr || popup == Handle() || !IsWindowVisible(popup)) return false;
  SetForegroundWindow(popup);
  return true;
}

void CMainFrame::OnAbout() {
  CAboutBox about;
  if (about.DoModal(Handle()) != 0) return;
  // Quit through the window: WM_DESTROY removes the icon and ends the loop.
  Log(LogLevel::Info, "quit");
  DestroyWindow(Handle());
}

void CMainFrame::OnCommand(UINT id) {
  switch (id) {
    case ID_TRAY_ABOUT:
      if (!FrontOpenPopup()) OnAbout();
      break;
    case ID_APP_ABOUT: {
      if (FrontOpenPopup()) break;
      CAboutBox about;
      about.DoModal(Handle());
      break;
    }
    case ID_TRAY_CONFIG: {
      if (FrontOpenPopup()) break;
      CConfigDialog config(settings_);
      config.DoModal(Handle());
      break;
    }
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
    case WM_FOLDER_CHANGED:
      OnFolderChanged();
      return 0;
    case WM_DESTROY:
      if (watch_) watch_->Stop();
      KillTimer(Handle(), SPOOL_TIMER_ID);
      tray_.DeleteIcon();
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return Window::WindowProc(message, wParam, lParam);
}

void CMainFrame::ShowIcon(int iconIndex) {
  if (iconIndex >= 0 && iconIndex < 3) tray_.ChangeIconById(kTrayIconTable[iconIndex]);
}

void CMainFrame::ShowError(const char* message, const std::string& detail, bool repeated) {
  if (!repeated) Log(LogLevel::Error, std::string(message) + " " + detail);
  // In front of a full-screen till application, and on top until confirmed.
  MessageBoxA(Handle(), message, kAppTitle,
              MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
}

void CMainFrame::ShowFault(const std::string& fault) {
  fault_ = fault;
  UpdateTooltip();
}

void CMainFrame::UpdateTooltip() {
  std::string tip = baseTip_;
  if (logFailed_) tip = "Druvo: cannot write its log file";
  if (!fault_.empty()) tip = "Druvo: " + fault_;  // names the file at the head of the line
  // What waits goes first: the tip holds 127 characters, and a long fault
  // or path is cut at its end.
  waitingShown_ = engine_ ? engine_->Report().waiting : 0;
  if (waitingShown_ != 0) tip = std::to_string(waitingShown_) + " waiting. " + tip;
  tray_.SetTooltip(tip == baseTip_ ? tip.c_str() : AnsiFromUtf8(tip).c_str());
}

void CMainFrame::Warn(const std::string& warning) {
  Log(LogLevel::Warning, "warning: " + warning);
  if (warning.find("single argument") != std::string::npos) fault_ = warning;
}

void CMainFrame::Log(LogLevel /*level*/, const std::string& line) {
  OutputDebugStringA(("druvo: " + line + "\n").c_str());
  // Druvos on other folders write the same log: the process id tells whose
  // line it is, and the start line names its printer and folder.
  const bool failed = !log_.Write("[" + std::to_string(GetCurrentProcessId()) + "] " + line);
  if (failed != logFailed_) {
    logFailed_ = failed;  // printing goes on; the tooltip tells
    if (Handle() != nullptr) UpdateTooltip();
  }
}

void CMainFrame::Stop() { KillTimer(Handle(), SPOOL_TIMER_ID); }

void CMainFrame::Start(int periodMs) {
  SetTimer(Handle(), SPOOL_TIMER_ID, static_cast<UINT>(periodMs), nullptr);
}

void CMainFrame::Sleep(int ms) { ::Sleep(static_cast<DWORD>(ms)); }

std::uint64_t CMainFrame::Now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return TicksFromFileTime(ft);
}

}  // namespace druvo
