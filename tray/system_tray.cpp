#include "tray/system_tray.h"

#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_handles.h"
#include "res/resource.h"

namespace druvo {

bool CSystemTray::iconShown_ = false;

namespace {

UINT TaskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageA("TaskbarCreated");
  return message;
}

const WindowClass& TrayWindowClass() {
  static const WindowClass cls("DruvoTrayWindow", 0, nullptr);
  return cls;
}

// The first submenu of the popup menu resource, or null.
HMENU FirstSubmenu(const UniqueMenu& menu) { return menu ? GetSubMenu(menu.get(), 0) : nullptr; }

}  // namespace

CSystemTray::CSystemTray() { std::memset(&data_, 0, sizeof data_); }

CSystemTray::~CSystemTray() {
  DeleteIcon();
  Destroy();
}

BOOL CSystemTray::AddIcon(Window* parent, UINT callbackMessage, const char* tip, HICON icon,
                          UINT id) {
  if (std::strlen(tip) >= sizeof data_.szTip) {
    // The program then ends quietly (status 0); the window says so.
    MessageBoxA(AppMainWindow(), kTooltipTooLongMessage, "Druvo", MB_OK | MB_ICONEXCLAMATION);
    tipTooLong_ = true;
    return FALSE;
  }
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExA(&version);
#pragma GCC diagnostic pop
  if (!(version.dwMajorVersion > 5 ||
        (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1))) {
    iconShown_ = false;
    return FALSE;
  }
  iconShown_ = true;
  // A hidden top-level window, never a message-only one: those miss the
  // TaskbarCreated broadcast.
  if (Handle() == nullptr &&
      !Create(TrayWindowClass(), 0, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr)) {
    iconShown_ = false;
    return FALSE;
  }
  data_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data_.hWnd = (parent != nullptr && parent->Handle() != nullptr) ? parent->Handle() : Handle();
  data_.uID = id;
  data_.hIcon = icon;
  data_.uCallbackMessage = callbackMessage;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  std::strcpy(data_.szTip, tip);
  TaskbarCreatedMessage();
  // Wanted even when the shell refuses it now: at logon the Run key may
  // start us before the taskbar exists.
  iconWanted_ = true;
  iconShown_ = NotifyAdd() != FALSE;
  return iconShown_ ? TRUE : FALSE;
}

BOOL CSystemTray::NotifyAdd() {
#ifdef DRUVO_TEST_SEAMS
  // Only in the test build: DRUVO_TRAY_REFUSALS=N makes the first N adds
  // fail, as on a desktop whose taskbar is not there yet.
  static int refusals = [] {
    char value[16] = {};
    return GetEnvironmentVariableA("DRUVO_TRAY_REFUSALS", value, sizeof value) > 0
               ? std::atoi(value)
               : 0;
  }();
  if (refusals > 0) {
    --refusals;
    return FALSE;
  }
#endif
  return Shell_NotifyIconA(NIM_ADD, &data_);
}

bool CSystemTray::EnsureShown() {
  if (iconShown_ || !iconWanted_) return iconShown_;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  iconShown_ = NotifyAdd() != FALSE;
  return iconShown_;
}

void CSystemTray::SetTooltip(const char* tip) {
  std::strncpy(data_.szTip, tip, sizeof data_.szTip - 1);
  data_.szTip[sizeof data_.szTip - 1] = '\0';
  if (!iconShown_) return;
  data_.uFlags = NIF_TIP;
  Shell_NotifyIconA(NIM_MODIFY, &data_);
}

void CSystemTray::DeleteIcon() {
  iconWanted_ = false;
  if (!iconShown_) return;
  data_.uFlags = 0;
  Shell_NotifyIconA(NIM_DELETE, &data_);
  iconShown_ = false;
}

BOOL CSystemTray::ChangeIcon(HICON icon) {
  // Kept while hidden, so the icon comes back with its current picture.
  if (iconWanted_) data_.hIcon = icon;
  if (!iconShown_) return FALSE;
  data_.uFlags = NIF_ICON;
  data_.hIcon = icon;
  return Shell_NotifyIconA(NIM_MODIFY, &data_);
}

BOOL CSystemTray::ChangeIconById(int iconId) {
  HICON icon = LoadIconA(AppInstance(), MAKEINTRESOURCEA(iconId));
  return ChangeIcon(icon);
}

BOOL CSystemTray::SetDefaultItem(UINT item, BOOL byPosition) {
  if (item == defaultItem_ && byPosition == defaultByPosition_) return TRUE;
  defaultItem_ = item;
  defaultByPosition_ = byPosition;
  UniqueMenu menu(LoadMenuA(AppInstance(), MAKEINTRESOURCEA(data_.uID)));
  HMENU submenu = FirstSubmenu(menu);
  if (submenu == nullptr) return FALSE;
  SetMenuDefaultItem(submenu, item, byPosition);
  return TRUE;
}

void CSystemTray::OnTaskbarCreated() {
  // Add the icon again with what it showed last: picture, tooltip, callback.
  iconShown_ = false;
  EnsureShown();
}

LRESULT CSystemTray::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (data_.uCallbackMessage != 0 && message == data_.uCallbackMessage)
    return OnTrayNotify(wParam, lParam);
  if (message == TaskbarCreatedMessage()) {
    OnTaskbarCreated();
    return 0;
  }
  return Window::WindowProc(message, wParam, lParam);
}

LRESULT CSystemTray::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
  if (wParam != data_.uID) return 0;
  HWND main = AppMainWindow();
  switch (LOWORD(lParam)) {
    case WM_RBUTTONUP: {
      UniqueMenu menu(LoadMenuA(AppInstance(), MAKEINTRESOURCEA(data_.uID)));
      HMENU submenu = FirstSubmenu(menu);
      if (submenu == nullptr) return 0;
      SetMenuDefaultItem(submenu, defaultItem_, defaultByPosition_);
      if (extraCommand_ != 0) {
        AppendMenuA(submenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(submenu, MF_STRING, extraCommand_, extraText_.c_str());
      }
      POINT pos{};
      GetCursorPos(&pos);
      // Without the foreground switch the menu would not close when the
      // user clicks elsewhere; WM_NULL lets the next click work.
      SetForegroundWindow(main);
      TrackPopupMenu(submenu, TPM_LEFTBUTTON, pos.x, pos.y, 0, main, nullptr);
      PostMessageA(main, WM_NULL, 0, 0);
      break;
    }
    case WM_LBUTTONDBLCLK: {
      SetForegroundWindow(main);
      UINT command = defaultItem_;
      UniqueMenu menu;
      if (defaultByPosition_) {
        menu.reset(LoadMenuA(AppInstance(), MAKEINTRESOURCEA(data_.uID)));
        HMENU submenu = FirstSubmenu(menu);
        if (submenu == nullptr) return 0;
        command = GetMenuItemID(submenu, static_cast<int>(defaultItem_));
      }
      SendMessageA(main, WM_COMMAND, command, 0);
      break;
    }
    default:
      break;
  }
  return 1;
}

}  // namespace druvo
