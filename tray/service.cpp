#include "tray/service.h"

#include <windows.h>

#include <cwctype>
#include <memory>

#include "core/reentrant_lock.h"
#include "platform/win32/status_pipe.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_ports.h"
#include "spool/events.h"
#include "spool/printer_address.h"
#include "tray/spool_worker.h"

namespace druvo {

namespace {

constexpr DWORD kStartWaitMs = 30000;

// What the service tells the service manager, from the handler's thread and
// the service's own.
class ServiceStatus {
 public:
  explicit ServiceStatus(SERVICE_STATUS_HANDLE handle) : handle_(handle) {
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  }
  void Set(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = 0) {
    std::lock_guard<ReentrantLock> hold(lock_);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status_.dwCheckPoint =
        pending && status_.dwCurrentState == state ? status_.dwCheckPoint + 1 : 0;
    status_.dwCurrentState = state;
    status_.dwWaitHint = waitHintMs;
    status_.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_PAUSED
                                     ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                           SERVICE_ACCEPT_PAUSE_CONTINUE | PreshutdownIfKnown()
                                     : 0;
    status_.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status_.dwServiceSpecificExitCode = exitCode;
    SetServiceStatus(handle_, &status_);
  }
  DWORD State() {
    std::lock_guard<ReentrantLock> hold(lock_);
    return status_.dwCurrentState;
  }

 private:
  // Preshutdown came with Vista; Windows XP refuses a status that names it.
  static DWORD PreshutdownIfKnown() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(&version) != 0 && version.dwMajorVersion >= 6 ? SERVICE_ACCEPT_PRESHUTDOWN
                                                                       : 0;
  }
  SERVICE_STATUS_HANDLE handle_;
  SERVICE_STATUS status_{};
  ReentrantLock lock_;
};

// What ServiceMain needs, set before the dispatcher calls it.
struct ServiceRun {
  SpoolSettings* settings = nullptr;
  const CommandLineReport* report = nullptr;
  std::wstring name;
  std::unique_ptr<ServiceStatus> status;
  UniqueKernel stop;
  SpoolWorker* worker = nullptr;
  int exitCode = 0;
};
ServiceRun g_run;

void SetPaused(bool paused) {
  g_run.worker->SetPaused(paused);
  g_run.status->Set(paused ? SERVICE_PAUSED : SERVICE_RUNNING);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      g_run.status->Set(SERVICE_STOP_PENDING, SpoolWorker::kStopAtMostMs);
      SetEvent(g_run.stop.get());
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      if (g_run.worker == nullptr || g_run.status->State() == SERVICE_STOP_PENDING)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      SetPaused(control == SERVICE_CONTROL_PAUSE);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The status pipe's answers: the report, as "druvo status" gives it on
// Linux; pausing and resuming for administrators.
std::string Answer(SpoolWorker& worker, char request, bool admin) {
  if (request == 'p' || request == 'r') {
    if (!admin) return "refused: pausing and resuming printing take an administrator\n";
    SetPaused(request == 'p');
    request = 'j';
  }
  EngineReport report = worker.Published();
  const SpoolWorker::Shown seen = worker.Seen();
  report.state = seen.state;
  if (!seen.fault.empty()) report.reason = seen.fault;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const SpoolSettings& settings = worker.Settings();
  const StatusContext context{settings.printerName, settings.fileSource,
                              settings.deleteAfterPrinted != 0 ? "printed" : "accepted",
                              TicksFromFileTime(now), worker.Paused()};
  return FormatStatus(report, context, request == 'j');
}

// Stops with EXIT (0: as asked), saying why in the log and the Event Log.
void Refuse(const std::string& why, const std::string& folder, int exit) {
  WriteEventLog(RefusedEvent(why), folder);
  g_run.exitCode = exit;
  g_run.status->Set(SERVICE_STOPPED, 0, static_cast<DWORD>(exit));
}

void Serve(SpoolSettings& settings, const CommandLineReport& report) {
  const DropFolder drop = DropFolder::Of(settings.fileSource, '\\');
  const std::string folder = drop.Folder();
  FolderInstanceLock lock;
  const auto refusal = [drop](const FolderConflict& other) {
    return other.Why(drop) + "; the service does not start";
  };
  if (FolderConflict other; !lock.Take(folder, drop.names, &other))
    return Refuse(refusal(other), folder, kAnotherInstance);
  SpoolWorker worker(settings, nullptr, 0, 0, [&](std::string* why) {
    FolderConflict other;
    if (lock.Take(folder, drop.names, &other)) return true;
    *why = refusal(other);
    WriteEventLog(RefusedEvent(*why), folder);
    return false;
  });
  worker.Log(LogLevel::Info, "start as the service " + ServiceName(report.instance) + ": " +
                                 SpoolWorker::StartLine(settings));
  for (const std::string& warning : report.warnings) worker.Log(LogLevel::Warning, warning);
  if (!report.metricsFile.empty()) worker.SetMetricsFile(report.metricsFile);
  g_run.worker = &worker;
  if (!worker.Start()) {
    worker.Log(LogLevel::Error, "cannot start the printing thread");
    g_run.worker = nullptr;
    return Refuse("cannot start the printing thread", folder, kNotStarted);
  }
  StatusPipeServer pipe;
  if (std::string why; !pipe.Start(
          report.instance, [&](char request, bool admin) { return Answer(worker, request, admin); },
          &why))
    worker.Log(LogLevel::Warning, "no status pipe: " + why);
  g_run.status->Set(SERVICE_RUNNING);
  WaitForSingleObject(g_run.stop.get(), INFINITE);
  worker.Log(LogLevel::Info, "stop asked by the service manager");
  const bool stopped = worker.StopAsAtQuit([&](const char* why) {
    worker.Log(LogLevel::Info, std::string("stopping: ") + why);
    g_run.status->Set(SERVICE_STOP_PENDING, SpoolWorker::kStopAtMostMs);
  });
  pipe.Stop();
  if (!stopped) {
    // As the tray's Quit: the program ends around a call that cannot be
    // cut short; a direct printer's job was reset already.
    worker.Log(LogLevel::Warning, "stopped while a call to the printer still waited");
    g_run.status->Set(SERVICE_STOPPED);
    ExitProcess(0);
  }
  g_run.worker = nullptr;
  worker.Log(LogLevel::Info, "stopped");
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(g_run.name.c_str(), &OnControl, nullptr);
  if (handle == nullptr) return;
  g_run.status = std::make_unique<ServiceStatus>(handle);
  g_run.status->Set(SERVICE_START_PENDING, 10000);
  SpoolSettings& settings = *g_run.settings;
  const CommandLineReport& report = *g_run.report;
  std::string error = report.error;
  if (error.empty()) error = ParsePrinterAddress(settings.printerName, false).error;
  if (!error.empty())
    return Refuse("the service cannot start: " + error, settings.fileSource, kBadCommandLine);
  Serve(settings, report);
  if (g_run.status->State() != SERVICE_STOPPED) g_run.status->Set(SERVICE_STOPPED);
}

// The account's name as the service manager takes it: LocalSystem is named
// by no name at all.
std::wstring AccountFor(const std::string& account) {
  if (account.empty()) return L"NT AUTHORITY\\LocalService";
  std::wstring wide = WideFromUtf8(account);
  std::wstring upper = wide;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  return upper == L"LOCALSYSTEM" ? std::wstring() : wide;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs, SERVICE_STATUS_PROCESS* s) {
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD size = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(s), sizeof *s,
                             &size) == 0)
      return false;
    if (s->dwCurrentState == wanted) return true;
    if (s->dwCurrentState == SERVICE_STOPPED || GetTickCount() - start > timeoutMs) return false;
    Sleep(100);
  }
}

int Said(int status, const std::string& line) {
  WriteEventLog(RefusedEvent(line), "");
  OutputDebugStringA(("druvo: " + line + "\n").c_str());
  return status;
}

int StartAndWait(SC_HANDLE service, const std::wstring& name) {
  if (StartServiceW(service, 0, nullptr) == 0 && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return Said(kNotStarted, LastErrorText("starting the service " + Utf8FromWide(name.c_str())));
  SERVICE_STATUS_PROCESS status{};
  if (!WaitForState(service, SERVICE_RUNNING, kStartWaitMs, &status)) {
    return Said(kNotStarted,
                "the service " + Utf8FromWide(name.c_str()) + " did not start (exit code " +
                    std::to_string(status.dwServiceSpecificExitCode) + "); the Event Log says why");
  }
  return 0;
}

// Stops the service as Quit stops the tray and waits until its process has
// ended (its program file is free only then); removes it too when asked.
int StopAndWait(const std::string& instance, bool remove) {
  const std::wstring name = WideFromUtf8(ServiceName(instance));
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return Said(kNotAllowed, LastErrorText("the service manager (run as administrator)"));
  const UniqueService service(OpenServiceW(
      manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | (remove ? DELETE : 0)));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : kNotAllowed;
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                       sizeof status, &size);
  const UniqueKernel process(
      status.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr);
  SERVICE_STATUS stopping{};
  if (status.dwCurrentState != SERVICE_STOPPED)
    ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping);
  const DWORD bound = SpoolWorker::kStopAtMostMs + 5000;
  if (!WaitForState(service.get(), SERVICE_STOPPED, bound, &status))
    return Said(kNotStarted, "the service " + Utf8FromWide(name.c_str()) + " did not stop");
  if (process) WaitForSingleObject(process.get(), bound);
  if (remove && DeleteService(service.get()) == 0 &&
      GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    return Said(kNotAllowed, LastErrorText("removing the service " + Utf8FromWide(name.c_str())));
  return 0;
}

}  // namespace

int RunService(SpoolSettings& settings, const CommandLineReport& report) {
  g_run.settings = &settings;
  g_run.report = &report;
  g_run.name = WideFromUtf8(ServiceName(report.instance));
  g_run.stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::wstring name = g_run.name;
  SERVICE_TABLE_ENTRYW table[] = {{&name[0], &ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table) == 0) {
    return Said(kNotStarted, "druvo --service runs under the service manager only (" +
                                 LastErrorText("") + "); druvo --install-service sets it up");
  }
  return g_run.exitCode;
}

std::wstring ServiceCommandLine(const std::wstring& exe, const std::wstring& line,
                                const std::string& instance) {
  std::wstring out =
      L"\"" + exe + L"\" --service" + (instance.empty() ? L"" : L"=" + WideFromUtf8(instance));
  std::size_t at = 0;
  bool program = true;
  while (at < line.size()) {
    while (at < line.size() && line[at] == L' ') ++at;
    const std::size_t begin = at;
    bool quoted = false;
    while (at < line.size() && (quoted || line[at] != L' ')) {
      if (line[at] == L'"') quoted = !quoted;
      ++at;
    }
    if (begin == at) break;
    std::wstring token = line.substr(begin, at - begin);
    std::wstring upper = token;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    const bool ours = upper.rfind(L"--INSTALL-SERVICE", 0) == 0 ||
                      upper.rfind(L"--ACCOUNT=", 0) == 0 || upper.rfind(L"\"--ACCOUNT=", 0) == 0;
    if (!program && !ours) out += L" " + token;
    program = false;
  }
  return out;
}

int InstallService(const CommandLineReport& report) {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  const std::wstring line = ServiceCommandLine(exe, GetCommandLineW(), report.instance);
  const std::wstring name = WideFromUtf8(ServiceName(report.instance));
  const std::wstring account = AccountFor(report.account);
  const wchar_t* who = account.empty() ? nullptr : account.c_str();
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager)
    return Said(kNotAllowed, LastErrorText("the service manager (run as administrator)"));
  UniqueService service(CreateServiceW(
      manager.get(), name.c_str(), L"Druvo", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr, nullptr, nullptr, who, L""));
  if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
    service.reset(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (service && ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(),
                                        nullptr, nullptr, nullptr, who, L"", L"Druvo") == 0)
      service.reset();
  }
  if (!service)
    return Said(kNotAllowed, LastErrorText("the service " + Utf8FromWide(name.c_str())));
  wchar_t text[] =
      L"Prints the files another program leaves in a folder, also before anyone logs on.";
  SERVICE_DESCRIPTIONW description{text};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  // Started after the automatic ones where Windows can (Vista on); XP
  // refuses the level and starts it with them.
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
  // Started again after a crash: a receipt it had under way is in its state.
  SC_ACTION again[3] = {
      {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, again};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  return StartAndWait(service.get(), name);
}

int RemoveService(const std::string& instance) { return StopAndWait(instance, true); }

int StopInstalledService(const std::string& instance) { return StopAndWait(instance, false); }

int StartInstalledService(const std::string& instance) {
  const std::wstring name = WideFromUtf8(ServiceName(instance));
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return Said(kNotAllowed, LastErrorText("the service manager (run as administrator)"));
  const UniqueService service(
      OpenServiceW(manager.get(), name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
  if (!service)
    return Said(kNotStarted, LastErrorText("the service " + Utf8FromWide(name.c_str())));
  return StartAndWait(service.get(), name);
}

}  // namespace druvo
