// The process-wide settings record and the command-line reader that fills it.
// Configuration comes from the command line only and is read once at start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace druvo {

constexpr std::size_t kSettingsTextSize = 512;  // buffers for settings and the command line
constexpr std::size_t kSettingsValueLimit = kSettingsTextSize - 1;

// Icon indexes map to tray icon resources through this table only.
constexpr int kTrayIconTable[3] = {130, 131, 132};  // idle, error, busy

struct SpoolSettings {
  std::int32_t pollInterval;  // milliseconds
  std::int32_t idleIcon;
  std::int32_t errorIcon;
  std::int32_t busyIcon;
  std::int32_t forceDelete;  // 1: delete a file even when its job failed
  char fileSource[kSettingsTextSize];
  char printerName[kSettingsTextSize];
  char commandLine[kSettingsTextSize];  // shown as "Command line:" in the config view
  // 1: a file is deleted only once the print server reports its job
  // completed, not when the job was accepted (POSIX option).
  std::int32_t deleteAfterPrinted;
  // 1: files are sent byte for byte (--binary); 0: read as text, where CR LF
  // becomes LF and a Ctrl-Z ends the data.
  std::int32_t byteForByte;
};

// What reading the command line found besides the settings. A value that
// cannot be honoured is an error, never a silent fallback to a default.
struct CommandLineReport {
  std::string error;                  // non-empty: do not start; this says why
  std::vector<std::string> warnings;  // what was ignored, and why
  bool help = false;
  bool version = false;
  bool check = false;       // --check: validate, print nothing, exit
  std::string metricsFile;  // --metrics-file=PATH; empty: none
  // The Windows program's part: the tray (by default), the service, a tray
  // that shows a running service, or setting a service up, removing,
  // starting or stopping it.
  // instance: the NAME of --service=NAME and the others; "" for the default
  // one. account: --account=NAME, what --install-service runs it as.
  enum class Role { Tray, Service, View, InstallService, RemoveService, StartService, StopService };
  Role role = Role::Tray;
  std::string instance;
  std::string account;
};

// Usage text of the POSIX program.
extern const char* const kPosixUsage;

// How the command line is read. Windows upper-cases it and finds the end of
// the program path by its last ".EXE"; POSIX keeps case (paths and queue names
// are case-sensitive there) and knows the argument count from argv.
enum class CommandLineRules { Windows, Posix };

#ifdef _WIN32
constexpr CommandLineRules kNativeRules = CommandLineRules::Windows;
#else
constexpr CommandLineRules kNativeRules = CommandLineRules::Posix;
#endif

struct PlatformDefaults {
  const char* printerName;
  const char* fileSource;
  const char* displayText;  // printer and source separated by one space
};

const PlatformDefaults& DefaultsFor(CommandLineRules rules);

// The one settings record of the process.
SpoolSettings& Settings();

void LoadDefaultSettings(SpoolSettings& settings, CommandLineRules rules = kNativeRules);
inline void LoadDefaultSettings() { LoadDefaultSettings(Settings()); }

// Reads a whole Windows command line (program path first, quoted or not,
// then the arguments separated by spaces).
CommandLineReport ReadCommandLineText(SpoolSettings& settings, const char* commandLine,
                                      CommandLineRules rules = CommandLineRules::Windows);

// Reads argv with the POSIX rules: every element is one token, so a pattern
// may hold spaces. Options (--help, --version, --delete-after=...) may stand
// anywhere.
CommandLineReport ReadCommandLineArgs(SpoolSettings& settings, int argc, const char* const* argv);

// Copies the recognised tokens (program path first) into the record. Acts only
// on 3 or 4 tokens. Always returns 1.
int ApplyArguments(SpoolSettings& settings, int count, char** tokens, CommandLineRules rules);

}  // namespace druvo
