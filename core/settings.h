// The process-wide settings record and the command-line reader that fills it.
// Configuration comes from the command line only and is read once at start.
#pragma once

#include <cstdint>

namespace druvo {

constexpr std::size_t kSettingsTextSize = 512;   // buffers for settings and the command line
constexpr std::size_t kSettingsValueLimit = 64;  // longer printer names / sources fall back

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
};

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

// Reads a whole command line (program path first, then the arguments).
// argCount is the number of argv entries where the platform has them, or -1
// where only the single string exists (Windows).
void ReadCommandLineText(SpoolSettings& settings, const char* commandLine, CommandLineRules rules,
                         int argCount = -1);

// Joins argv into one command line, the way a Windows process would see it,
// and reads it with the POSIX rules.
void ReadCommandLineArgs(SpoolSettings& settings, int argc, const char* const* argv);

// Copies the recognised tokens (program path first) into the record. Acts only
// on 3 or 4 tokens. Always returns 1.
int ApplyArguments(SpoolSettings& settings, int count, char** tokens, CommandLineRules rules);

}  // namespace druvo
