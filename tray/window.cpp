#include "tray/window.h"

namespace druvo {

namespace {
HWND g_mainWindow = nullptr;
}  // namespace

HINSTANCE AppInstance() { return GetModuleHandleA(nullptr); }
HWND AppMainWindow() { return g_mainWindow; }
void SetAppMainWindow(HWND hwnd) { g_mainWindow = hwnd; }

WindowClass::WindowClass(const char* name, UINT style, HICON icon) : name_(name) {
  WNDCLASSA wc{};
  wc.style = style;
  wc.lpfnWndProc = Window::StaticProc;
  wc.hInstance = AppInstance();
  wc.hIcon = icon;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = name;
  atom_ = RegisterClassA(&wc);
}

WindowClass::~WindowClass() {
  if (atom_ != 0) UnregisterClassA(name_, AppInstance());
}

Window::~Window() { Destroy(); }

bool Window::Create(const WindowClass& cls, DWORD exStyle, const char* title, DWORD style, int x,
                    int y, int width, int height, HWND parent, HMENU menu) {
  // The object is bound to its window in WM_NCCREATE, before WM_CREATE.
  return CreateWindowExA(exStyle, cls.Name(), title, style, x, y, width, height, parent, menu,
                         AppInstance(), this) != nullptr;
}

void Window::Destroy() {
  if (hwnd_ != nullptr) {
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }
}

LRESULT Window::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK Window::StaticProc(HWND hwnd, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
  Window* self = nullptr;
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    self = static_cast<Window*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  }
  if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  const LRESULT result = self->WindowProc(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

INT_PTR Dialog::DoModal(HWND parent) {
  return DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(templateId_), parent, StaticProc,
                         reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

bool Dialog::OnCommand(WORD id) {
  if (id == IDOK || id == IDCANCEL) {
    EndDialog(id);
    return true;
  }
  return false;
}

INT_PTR CALLBACK Dialog::StaticProc(HWND hwnd, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Dialog*>(lParam);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  if (message == WM_COMMAND) return self->OnCommand(LOWORD(wParam)) ? TRUE : FALSE;
  return FALSE;
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace druvo
