// Move-only owners for Win32 handles, each with its invalid value spelled out.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace druvo {

struct FindCloser {
  using pointer = HANDLE;
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};
struct FileCloser {
  using pointer = HANDLE;
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
struct PrinterCloser {
  using pointer = HANDLE;
  void operator()(HANDLE h) const;
};
struct MenuDestroyer {
  using pointer = HMENU;
  void operator()(HMENU h) const { DestroyMenu(h); }
};

// unique_ptr tests its pointer against nullptr; for handles whose invalid
// value is INVALID_HANDLE_VALUE, the wrappers are only ever built from valid
// handles.
using UniqueFind = std::unique_ptr<void, FindCloser>;
using UniqueFile = std::unique_ptr<void, FileCloser>;
using UniquePrinter = std::unique_ptr<void, PrinterCloser>;
using UniqueMenu = std::unique_ptr<HMENU__, MenuDestroyer>;

// "where: the system's message (code N)" for the calling thread's last error.
std::string LastErrorText(const std::string& where);
std::string ErrorText(const std::string& where, DWORD code);

}  // namespace druvo
