// Druvo as a Windows service: the same engine as the tray's, under the
// Service Control Manager, so that printing starts with Windows and goes on
// with nobody logged on. The tray then only shows it (--view), over the
// service's status pipe.
#pragma once

#include <string>

#include "core/settings.h"

namespace druvo {

// The Windows program's exit statuses (and the service's exit codes).
constexpr int kBadCommandLine = 2;   // refused its command line
constexpr int kNotStarted = 3;       // the service did not start or stop
constexpr int kAnotherInstance = 4;  // another Druvo serves the folder
constexpr int kNotAllowed = 5;       // the service manager refused

// druvo.exe --service[=NAME] ...: runs until the service manager stops it;
// the exit status.
int RunService(SpoolSettings& settings, const CommandLineReport& report);

// druvo.exe --install-service[=NAME] [--account=NAME] PRINTER PATTERN ...:
// sets the service up to run this program with the rest of the line (an
// existing one is changed), starts it and waits until it runs. 0 when it
// does.
int InstallService(const CommandLineReport& report);

// druvo.exe --remove-service[=NAME]: stops the service, as Quit stops the
// tray, waits until its process has ended and removes it. 0 when none is
// left (also when there was none).
int RemoveService(const std::string& instance);
// --stop-service[=NAME] and --start-service[=NAME], around an upgrade: the
// stop waits until the service's process has ended, the start until it
// runs.
int StopInstalledService(const std::string& instance);
int StartInstalledService(const std::string& instance);

// The service's command line: EXE --service[=NAME] and the tokens of LINE
// after its program but --install-service and --account, as written.
std::wstring ServiceCommandLine(const std::wstring& exe, const std::wstring& line,
                                const std::string& instance);

}  // namespace druvo
