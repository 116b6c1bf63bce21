// Move-only owners for Win32 handles, each with its invalid value spelled out.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace druvo {

// Owns a handle. Kind says what its maker returns on failure and how it is
// closed: CreateFile and FindFirstFile fail with INVALID_HANDLE_VALUE,
// CreateEvent, CreateMutex and CreateThread with NULL.
template <typename Kind>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != Kind::Invalid(); }
  HANDLE release() {
    HANDLE h = h_;
    h_ = Kind::Invalid();
    return h;
  }
  void reset(HANDLE h = Kind::Invalid()) {
    if (h_ != Kind::Invalid()) Kind::Close(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = Kind::Invalid();
};

struct FileHandleKind {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleKind {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { FindClose(h); }
};
struct KernelHandleKind {  // events, mutexes, threads
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct EventSourceKind {  // RegisterEventSource
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { DeregisterEventSource(h); }
};
struct PrinterCloser {
  using pointer = HANDLE;
  void operator()(HANDLE h) const;
};
struct ServiceHandleCloser {  // OpenSCManager, OpenService, CreateService
  using pointer = SC_HANDLE;
  void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
struct LocalFreer {  // what the system allocated with LocalAlloc for us
  void operator()(void* p) const { LocalFree(p); }
};
struct MenuDestroyer {
  using pointer = HMENU;
  void operator()(HMENU h) const { DestroyMenu(h); }
};

using UniqueFind = UniqueHandle<FindHandleKind>;
using UniqueFile = UniqueHandle<FileHandleKind>;
using UniqueKernel = UniqueHandle<KernelHandleKind>;
using UniquePrinter = std::unique_ptr<void, PrinterCloser>;
using UniqueMenu = std::unique_ptr<HMENU__, MenuDestroyer>;
using UniqueService = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;
template <typename T>
using UniqueLocal = std::unique_ptr<T, LocalFreer>;

// "where: the system's message (code N)", without "where: " when it is
// empty; LastErrorText for the calling thread's last error.
std::string LastErrorText(const std::string& where);
std::string ErrorText(const std::string& where, DWORD code);

}  // namespace druvo
