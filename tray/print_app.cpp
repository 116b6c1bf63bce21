// The application object: reads the command line, creates the hidden frame
// and runs the message loop.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "core/settings.h"
#include "platform/win32/win32_ports.h"
#include "spool/printer_address.h"
#include "tray/main_frame.h"
#include "tray/service.h"

namespace druvo {

constexpr int kQuietExit = -1;  // end at once with status 0
constexpr int kEnded = -2;      // ended without a window: Ended() is the status

// While it runs, each Druvo keeps its command line under this user's key,
// named by its process id and creation time (an id is soon another
// process's): an upgrade that closes every Druvo starts each one again as it
// was.
class RunningEntry {
 public:
  RunningEntry() : name_(std::to_wstring(GetCurrentProcessId()) + L"-" + CreationTime()) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
      return;
    const wchar_t* line = GetCommandLineW();
    RegSetValueExW(key, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(line),
                   static_cast<DWORD>((wcslen(line) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    written_ = true;
  }
  ~RunningEntry() {
    HKEY key = nullptr;
    if (!written_ ||
        RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
      return;
    RegDeleteValueW(key, name_.c_str());
    RegCloseKey(key);
  }
  RunningEntry(const RunningEntry&) = delete;
  RunningEntry& operator=(const RunningEntry&) = delete;

 private:
  static std::wstring CreationTime() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return std::to_wstring((static_cast<unsigned long long>(created.dwHighDateTime) << 32) |
                           created.dwLowDateTime);
  }
  static constexpr const wchar_t* kKey = L"Software\\Druvo\\Running";
  std::wstring name_;
  bool written_ = false;
};

class CPrintApp {
 public:
  // 0 when the program may run; otherwise its exit status, or kQuietExit.
  int InitInstance() {
    LoadDefaultSettings();
    // Read wide, kept as UTF-8: a folder or printer named in any language
    // arrives as typed, not as the code page's nearest letters.
    report_ = ReadCommandLineText(Settings(), Utf8FromWide(GetCommandLineW()).c_str());
    CommandLineReport& report = report_;
    using Role = CommandLineReport::Role;
    if (report.role == Role::Service) return End(RunService(Settings(), report));
    if (report.role == Role::RemoveService || report.role == Role::StopService ||
        report.role == Role::StartService) {
      if (!report.error.empty()) return End(kBadCommandLine);
      return End(report.role == Role::RemoveService ? RemoveService(report.instance)
                 : report.role == Role::StopService ? StopInstalledService(report.instance)
                                                    : StartInstalledService(report.instance));
    }
    if (report.error.empty() && report.role != Role::View)
      report.error = ParsePrinterAddress(Settings().printerName, false).error;
    if (!report.error.empty() && report.role == Role::InstallService) {
      // Run by the setup, silently: the Event Log and the status say it.
      WriteEventLog(RefusedEvent(report.error), Settings().fileSource);
      return End(kBadCommandLine);
    }
    if (report.role == Role::InstallService) return End(InstallService(report));
    if (!report.error.empty()) {
      // Never print somewhere else than asked: say why, and do not start.
      WriteEventLog(RefusedEvent(report.error), Settings().fileSource);
      MessageBoxW(nullptr, WideFromUtf8("Druvo cannot start.\n\n" + report.error).c_str(), L"Druvo",
                  MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
      return kBadCommandLine;
    }
    if (report.role == Role::View) {
      // Shows the service; the service holds the folder.
      frame_ = std::make_unique<CMainFrame>(Settings(), CMainFrame::ViewOf{report.instance});
      if (int status = 0; !frame_->LoadFrame(&status)) {
        frame_.reset();
        return status == 0 ? kQuietExit : status;
      }
      SetAppMainWindow(frame_->Handle());
      return 0;
    }
    // One druvo per file name: a second would print every receipt again.
    const DropFolder drop = DropFolder::Of(Settings().fileSource, '\\');
    const std::string folder = drop.Folder();
    const auto refusal = [drop](const FolderConflict& other) { return other.Why(drop); };
    if (FolderConflict other; !lock_.Take(folder, drop.names, &other)) {
      WriteEventLog(RefusedEvent(refusal(other)), folder);
      const std::wstring text =
          WideFromUtf8(refusal(other)) +
          L".\n\nTwo Druvos may share a folder only with patterns no file name can match "
          L"both. This second Druvo does not start.";
      MessageBoxW(nullptr, text.c_str(), L"Druvo",
                  MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST);
      return kAnotherInstance;
    }
    // A folder missing now is claimed by its identity once it exists.
    frame_ =
        std::make_unique<CMainFrame>(Settings(), [this, folder, drop, refusal](std::string* why) {
          FolderConflict other;
          if (lock_.Take(folder, drop.names, &other)) return true;
          *why = refusal(other);
          WriteEventLog(RefusedEvent(*why), folder);
          return false;
        });
    for (const std::string& warning : report.warnings) frame_->Warn(warning);
    if (!report.metricsFile.empty()) frame_->SetMetricsFile(report.metricsFile);
    if (int status = 0; !frame_->LoadFrame(&status)) {
      frame_.reset();
      return status == 0 ? kQuietExit : status;
    }
    SetAppMainWindow(frame_->Handle());
    running_ = std::make_unique<RunningEntry>();
    return 0;  // the frame stays hidden: the tray icon is all the user sees
  }
  int Run() {
    const int status = RunMessageLoop();
    running_.reset();
    return status;
  }
  // Quit left a call to the printer behind: nothing may be torn down under it.
  bool LeftWorkBehind() const { return frame_ && frame_->LeftWorkBehind(); }
  int Ended() const { return ended_; }

 private:
  int End(int status) {
    ended_ = status;
    return kEnded;
  }
  CommandLineReport report_;
  int ended_ = 0;
  FolderInstanceLock lock_;
  std::unique_ptr<CMainFrame> frame_;
  std::unique_ptr<RunningEntry> running_;
};

void OnOutOfMemory() { ExitProcess(1); }

}  // namespace druvo

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::set_new_handler(druvo::OnOutOfMemory);
  static druvo::CPrintApp app;
  if (const int status = app.InitInstance(); status != 0)
    return status == druvo::kQuietExit ? 0 : status == druvo::kEnded ? app.Ended() : status;
  const int status = app.Run();
  if (app.LeftWorkBehind()) ExitProcess(static_cast<UINT>(status));
  return status;
}
