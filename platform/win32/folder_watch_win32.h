// Change notifications for the drop folder on Win32: a thread waits on
// ReadDirectoryChangesW and posts one message to a window when the folder
// changes, so the tray program prints without waiting for its next timer
// tick. The timer stays behind it for folders that send nothing.
#pragma once

#include <windows.h>

#include <string>

namespace druvo {

class Win32FolderWatch {
 public:
  Win32FolderWatch(HWND target, UINT message) : target_(target), message_(message) {}
  ~Win32FolderWatch() { Stop(); }
  Win32FolderWatch(const Win32FolderWatch&) = delete;
  Win32FolderWatch& operator=(const Win32FolderWatch&) = delete;

  bool Start(const std::wstring& folder, std::string* error);
  void Stop();
  // False once the watch ended by itself (the folder went away).
  bool Running() const {
    return thread_ != nullptr && InterlockedCompareExchange(&alive_, 0, 0) != 0;
  }
  // The window takes the message; further changes post a new one.
  void Taken() { InterlockedExchange(&posted_, 0); }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();

  HWND target_;
  UINT message_;
  HANDLE folder_ = INVALID_HANDLE_VALUE;
  HANDLE stop_ = nullptr;
  HANDLE thread_ = nullptr;
  mutable volatile LONG alive_ = 0;
  volatile LONG posted_ = 0;
};

}  // namespace druvo
