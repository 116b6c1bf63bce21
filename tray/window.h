// A small window and dialog layer: just what the tray program needs.
#pragma once

#include <windows.h>

namespace druvo {

HINSTANCE AppInstance();

// The application's main window (the hidden frame), for commands from the tray.
HWND AppMainWindow();
void SetAppMainWindow(HWND hwnd);

// A registered window class whose procedure forwards to Window objects.
class WindowClass {
 public:
  WindowClass(const char* name, UINT style, HICON icon);
  ~WindowClass();
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;
  const char* Name() const { return name_; }

 private:
  const char* name_;
  ATOM atom_;
};

class Window {
 public:
  Window() = default;
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND Handle() const { return hwnd_; }
  bool Create(const WindowClass& cls, DWORD exStyle, const char* title, DWORD style, int x, int y,
              int width, int height, HWND parent, HMENU menu);
  void Destroy();

 protected:
  // Unhandled messages go to DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  friend class WindowClass;
  static LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  HWND hwnd_ = nullptr;
};

// A modal dialog from a template resource.
class Dialog {
 public:
  explicit Dialog(int templateId) : templateId_(templateId) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Returns what EndDialog was given, or -1 when the dialog could not be made.
  INT_PTR DoModal(HWND parent);

 protected:
  HWND Handle() const { return hwnd_; }
  void EndDialog(INT_PTR result);
  virtual BOOL OnInitDialog() { return TRUE; }
  // Return true when the command was handled.
  virtual bool OnCommand(WORD id);

 private:
  static INT_PTR CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  int templateId_;
  HWND hwnd_ = nullptr;
};

// Runs the message loop until WM_QUIT; returns its exit code.
int RunMessageLoop();

}  // namespace druvo
