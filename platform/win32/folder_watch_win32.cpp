#include "platform/win32/folder_watch_win32.h"

#include <vector>

namespace druvo {

bool Win32FolderWatch::Start(const std::wstring& folder, std::string* error) {
  Stop();
  const auto failed = [&](const char* what) {
    *error = LastErrorText(what);
    Stop();
    return false;
  };
  folder_.reset(CreateFileW(
      folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  if (!folder_) return failed("CreateFileW (folder)");
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_ || !changed_) return failed("CreateEventW");
  InterlockedExchange(&alive_, 1);
  thread_.reset(CreateThread(nullptr, 0, &Win32FolderWatch::ThreadMain, this, 0, nullptr));
  return thread_ ? true : failed("CreateThread");
}

void Win32FolderWatch::Stop() {
  if (thread_) {
    SetEvent(stop_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
  stop_.reset();
  folder_.reset();
  InterlockedExchange(&alive_, 0);
}

DWORD WINAPI Win32FolderWatch::ThreadMain(void* self) {
  static_cast<Win32FolderWatch*>(self)->Run();
  return 0;
}

void Win32FolderWatch::Run() {
  // Overlapped, so that Stop can end the wait: CancelIoEx and
  // CancelSynchronousIo do not exist on Windows XP.
  std::vector<DWORD> buffer(8 * 1024);  // DWORD-aligned, as the call wants
  const UniqueKernel done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  while (done) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    ResetEvent(done.get());
    if (!ReadDirectoryChangesW(folder_.get(), buffer.data(),
                               static_cast<DWORD>(buffer.size() * sizeof(DWORD)), FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                   FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES,
                               nullptr, &overlapped, nullptr)) {
      break;  // the folder went away: the timer keeps polling
    }
    HANDLE waits[2] = {stop_.get(), done.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    DWORD bytes = 0;
    if (woke != WAIT_OBJECT_0 + 1) {
      CancelIo(folder_.get());
      GetOverlappedResult(folder_.get(), &overlapped, &bytes, TRUE);
      break;
    }
    if (!GetOverlappedResult(folder_.get(), &overlapped, &bytes, FALSE)) break;
    // Zero bytes: more changed than the buffer held. Either way the folder
    // is scanned again, so the details do not matter.
    SetEvent(changed_.get());
  }
  InterlockedExchange(&alive_, 0);
  SetEvent(changed_.get());
}

}  // namespace druvo
