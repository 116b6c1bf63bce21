// Change notifications for the drop folder on Win32: a thread waits on
// ReadDirectoryChangesW and sets an event when the folder changes, so the
// spool cycle runs without waiting for its timer. The timer stays behind it
// for folders that send nothing.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/win32_handles.h"

namespace druvo {

class Win32FolderWatch {
 public:
  Win32FolderWatch() : changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32FolderWatch() { Stop(); }
  Win32FolderWatch(const Win32FolderWatch&) = delete;
  Win32FolderWatch& operator=(const Win32FolderWatch&) = delete;

  bool Start(const std::wstring& folder, std::string* error);
  void Stop();
  // False once the watch ended by itself (the folder went away).
  bool Running() const { return thread_ && InterlockedCompareExchange(&alive_, 0, 0) != 0; }
  // Set (auto-reset) when the folder changed, and once more when the watch
  // ends by itself, so that a scan notices the folder is gone.
  HANDLE Changed() const { return changed_.get(); }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();

  UniqueKernel changed_;
  UniqueFile folder_;
  UniqueKernel stop_;
  UniqueKernel thread_;
  mutable volatile LONG alive_ = 0;
};

}  // namespace druvo
