#include "core/settings.h"

#include <cstring>
#include <string>

#include "core/text_helpers.h"

namespace druvo {

namespace {

constexpr PlatformDefaults kWindowsDefaults = {"RACUN", "C:\\FPRI\\*.*", "RACUN C:\\FPRI\\*.*"};
constexpr PlatformDefaults kPosixDefaults = {"RACUN", "/var/spool/druvo/*.*",
                                             "RACUN /var/spool/druvo/*.*"};
constexpr int kMaxTokens = 4;

// Copies at most capacity - 1 characters and always terminates.
void CopyBounded(char* target, std::size_t capacity, const char* value) {
  std::size_t n = 0;
  while (n + 1 < capacity && value[n] != '\0') ++n;
  std::memcpy(target, value, n);
  target[n] = '\0';
}

void CopyText(char (&field)[kSettingsTextSize], const char* value) {
  CopyBounded(field, kSettingsTextSize, value);
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
    const char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}

void UpperCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

}  // namespace

const PlatformDefaults& DefaultsFor(CommandLineRules rules) {
  return rules == CommandLineRules::Windows ? kWindowsDefaults : kPosixDefaults;
}

SpoolSettings& Settings() {
  static SpoolSettings settings{};
  return settings;
}

void LoadDefaultSettings(SpoolSettings& settings, CommandLineRules rules) {
  const PlatformDefaults& defaults = DefaultsFor(rules);
  std::memset(&settings, 0, sizeof settings);
  settings.pollInterval = 200;
  settings.idleIcon = 0;
  settings.errorIcon = 1;
  settings.busyIcon = 2;
  settings.forceDelete = 0;
  CopyText(settings.fileSource, defaults.fileSource);
  CopyText(settings.printerName, defaults.printerName);
}

int ApplyArguments(SpoolSettings& settings, int count, char** tokens, CommandLineRules rules) {
  if (count != 3 && count != 4) return 1;
  const PlatformDefaults& defaults = DefaultsFor(rules);
  if (!IsBlank(tokens[1])) CopyText(settings.printerName, tokens[1]);
  if (!IsBlank(tokens[2])) CopyText(settings.fileSource, tokens[2]);
  if (count == 4 && !IsBlank(tokens[3])) {
    // Windows has already upper-cased the whole line; POSIX compares without case.
    const bool on = rules == CommandLineRules::Windows ? std::strcmp(tokens[3], "TRUE") == 0
                                                      : EqualsIgnoreCase(tokens[3], "TRUE");
    if (on) settings.forceDelete = 1;
  }
  if (std::strlen(settings.fileSource) > kSettingsValueLimit) {
    CopyText(settings.fileSource, defaults.fileSource);
  }
  if (std::strlen(settings.printerName) > kSettingsValueLimit) {
    CopyText(settings.printerName, defaults.printerName);
  }
  return 1;
}

void ReadCommandLineText(SpoolSettings& settings, const char* commandLine, CommandLineRules rules,
                         int argCount) {
  const PlatformDefaults& defaults = DefaultsFor(rules);
  // A longer command line is cut at the buffer's 511 characters.
  char buffer[kSettingsTextSize];
  CopyText(buffer, commandLine != nullptr ? commandLine : "");

  SqueezeSpaces(buffer, "A");
  if (rules == CommandLineRules::Windows) UpperCase(buffer);

  CopyText(settings.commandLine, buffer);

  bool noArguments;
  if (rules == CommandLineRules::Windows) {
    // Up to three characters after the last ".EXE" (a closing quote, say)
    // mean the line holds the program path alone.
    const int n = static_cast<int>(std::strlen(buffer));
    const int p = FindLast(".EXE", buffer);
    noArguments = n - p <= 6;
  } else {
    noArguments = argCount <= 1;
  }
  if (noArguments) {
    CopyText(settings.commandLine, defaults.displayText);
    return;
  }
  if (std::strlen(settings.commandLine) > kSettingsValueLimit) {
    CopyText(settings.commandLine, defaults.displayText);
  }

  char empty[kMaxTokens][1] = {};
  char* slots[kMaxTokens] = {empty[0], empty[1], empty[2], empty[3]};
  int count = 0;
  // Split on single spaces only; tabs stay inside tokens and are trimmed.
  char* cursor = buffer;
  while (*cursor != '\0') {
    while (*cursor == ' ') ++cursor;
    if (*cursor == '\0') break;
    char* token = cursor;
    while (*cursor != '\0' && *cursor != ' ') ++cursor;
    if (*cursor == ' ') *cursor++ = '\0';
    TrimBlanks(token);
    if (token[0] == '\0') continue;
    if (count == kMaxTokens) break;
    slots[count++] = token;
  }
  ApplyArguments(settings, count, slots, rules);
}

void ReadCommandLineArgs(SpoolSettings& settings, int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += argv[i] != nullptr ? argv[i] : "";
    if (line.size() >= kSettingsTextSize) break;
  }
  ReadCommandLineText(settings, line.c_str(), CommandLineRules::Posix, argc);
}

}  // namespace druvo
