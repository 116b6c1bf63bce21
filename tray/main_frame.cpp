#include "tray/main_frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "res/resource.h"
#include "tray/dialogs.h"

namespace druvo {

namespace {

constexpr const char* kAppTitle = "Druvo";
constexpr std::size_t kTooltipLimit = 63;

const WindowClass& FrameWindowClass() {
  static const WindowClass cls("DruvoMainFrame", CS_DBLCLKS,
                               LoadIconA(AppInstance(), MAKEINTRESOURCEA(IDR_FRAME)));
  return cls;
}

}  // namespace

CMainFrame::CMainFrame(SpoolSettings& settings) : settings_(settings), jobs_(ListCreate()) {
  engine_ = std::make_unique<SpoolEngine>(settings_, jobs_,
                                          SpoolPorts{files_, spooler_, *this, *this});
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
  std::snprintf(tip, sizeof tip, "Direct POS ROW printing:\n %s   %s", settings_.printerName,
                settings_.fileSource);
  tip[kTooltipLimit] = '\0';
  HICON info = LoadIconA(nullptr, MAKEINTRESOURCEA(32516));  // IDI_ASTERISK
  if (!tray_.AddIcon(nullptr, WM_TRAY_NOTIFY, tip, info, IDR_TRAY_MENU)) return -1;
  tray_.ChangeIconById(kTrayIconTable[settings_.idleIcon]);
  tray_.SetDefaultItem(4, TRUE);
  SetTimer(Handle(), SPOOL_TIMER_ID, static_cast<UINT>(settings_.pollInterval), nullptr);
  return 0;
}

void CMainFrame::OnAbout() {
  CAboutBox about;
  if (about.DoModal(Handle()) != 0) return;
  // Quit. The icon goes too, so no dead icon lingers in the notification area.
  tray_.DeleteIcon();
  ListDestroy(&jobs_);
  std::exit(0);
}

void CMainFrame::OnCommand(UINT id) {
  switch (id) {
    case ID_TRAY_ABOUT:
      OnAbout();
      break;
    case ID_APP_ABOUT: {
      CAboutBox about;
      about.DoModal(Handle());
      break;
    }
    case ID_TRAY_CONFIG: {
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
      engine_->RunSpoolCycle();
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_DESTROY:
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

void CMainFrame::ShowError(const char* message, const std::string& detail, bool /*repeated*/) {
  Log(std::string(message) + " " + detail);
  MessageBoxA(Handle(), message, kAppTitle, MB_OK | MB_ICONEXCLAMATION);
}

void CMainFrame::Log(const std::string& line) { OutputDebugStringA(("druvo: " + line + "\n").c_str()); }

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
