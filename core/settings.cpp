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

// Copies what fits, and always terminates.
void CopyText(char (&field)[kSettingsTextSize], const char* value) {
  std::size_t n = 0;
  while (n + 1 < kSettingsTextSize && value[n] != '\0') ++n;
  std::memcpy(field, value, n);
  field[n] = '\0';
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a != '\0' && UpperAscii(*a) == UpperAscii(*b); ++a, ++b) {
  }
  return UpperAscii(*a) == UpperAscii(*b);
}

void UpperCase(char* text) {
  for (; *text != '\0'; ++text) *text = UpperAscii(*text);
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

const char* const kPosixUsage =
    "usage: druvo [--check] [--binary] [--delete-after=accepted|printed]\n"
    "             [--metrics-file=PATH]\n"
    "             [PRINTER PATTERN [TRUE]]\n"
    "       druvo status [--json] [INSTANCE]\n"
    "  PRINTER  CUPS queue the files go to (default RACUN)\n"
    "  PATTERN  drop folder and wildcard, quoted so the shell leaves it alone\n"
    "           (default '/var/spool/druvo/*.*')\n"
    "  TRUE     delete a file even when its job failed\n"
    "  --delete-after=printed  keep each file until CUPS reports its job completed,\n"
    "                          or a direct printer confirms it came out (default:\n"
    "                          accepted, as soon as CUPS or the printer has it)\n"
    "  --binary  send files byte for byte (default: read as text, CR LF becomes LF\n"
    "            and a Ctrl-Z ends the data, as DOS-era producers expect)\n"
    "  --check  check the printer, the folder and the files waiting, print nothing,\n"
    "           and exit: 0 when druvo could serve, 1 with the reasons otherwise\n"
    "  --metrics-file=PATH  keep PATH (ending in .prom) up to date with the files\n"
    "           waiting, the printer's state and the receipts' outcomes, for\n"
    "           node_exporter's textfile collector\n"
    "PRINTER is a CUPS queue, socket://HOST[:PORT] (a printer on the network, raw\n"
    "TCP, port 9100 by default), or a device file such as /dev/usb/lp0; add\n"
    "?status=escpos to ask an ESC/POS printer for its state before each job, and\n"
    "?confirm=escpos to delete a file only once the printer says it came out\n"
    "(both: ?status=escpos&confirm=escpos).\n"
    "Exit status: 2 for a command line that cannot be honoured, 4 when another\n"
    "druvo already serves the folder.\n";

int ApplyArguments(SpoolSettings& settings, int count, char** tokens, CommandLineRules rules) {
  if (count != 3 && count != 4) return 1;
  if (!IsBlank(tokens[1])) CopyText(settings.printerName, tokens[1]);
  if (!IsBlank(tokens[2])) CopyText(settings.fileSource, tokens[2]);
  if (count == 4 && !IsBlank(tokens[3])) {
    // Windows has already upper-cased the whole line; POSIX compares without case.
    const bool on = rules == CommandLineRules::Windows ? std::strcmp(tokens[3], "TRUE") == 0
                                                       : EqualsIgnoreCase(tokens[3], "TRUE");
    if (on) settings.forceDelete = 1;
  }
  return 1;
}

namespace {

std::string TooLong(const std::string& what, std::size_t length) {
  return what + " is " + std::to_string(length) + " characters long; at most " +
         std::to_string(kSettingsValueLimit) + " fit";
}

bool HasWildcard(const char* text) { return std::strpbrk(text, "*?") != nullptr; }

}  // namespace

namespace {

// The program path: up to its closing quote when quoted (Windows quotes a
// path under C:\Program Files), else up to the first space. Leaves *cursor
// after it; true when nothing follows it.
bool SplitProgram(char* buffer, char** program, char** cursor) {
  *cursor = buffer;
  *program = buffer;
  if (buffer[0] == '"') {
    *program = buffer + 1;
    char* close = std::strchr(*program, '"');
    *cursor = close != nullptr ? close + 1 : *program + std::strlen(*program);
    if (close != nullptr) *close = '\0';
    return IsBlank(*cursor) != 0;
  }
  // Up to three characters after the last ".EXE" (a closing quote, say)
  // mean the line holds the program path alone.
  const int n = static_cast<int>(std::strlen(buffer));
  const bool alone = n - FindLast(".EXE", buffer) <= 6;
  while (**cursor != '\0' && **cursor != ' ') ++*cursor;
  if (**cursor == ' ') *(*cursor)++ = '\0';
  return alone;
}

// The next token: split on single spaces only (tabs stay inside tokens and
// are trimmed). A value in double quotes is one token, spaces and all:
// Windows printer names often hold spaces ("EPSON TM-T20II Receipt"), and
// so do folders. Null at the end, or with *error set.
char* NextToken(char** cursor, bool* quoted, std::string* error) {
  while (**cursor == ' ') ++*cursor;
  if (**cursor == '\0') return nullptr;
  char* token = *cursor;
  *quoted = **cursor == '"';
  if (*quoted) {
    token = ++*cursor;
    char* close = std::strchr(*cursor, '"');
    if (close == nullptr) {
      *error = "a quote is not closed: " + std::string(token - 1);
      return nullptr;
    }
    *close = '\0';
    *cursor = close + 1;
    if (**cursor != '\0' && **cursor != ' ') {
      *error = "a closing quote must end its value: " + std::string(token);
      return nullptr;
    }
  } else {
    while (**cursor != '\0' && **cursor != ' ') ++*cursor;
  }
  if (**cursor == ' ') *(*cursor)++ = '\0';
  TrimBlanks(token);
  return token;
}

// --service[=NAME], --view[=NAME], --install-service[=NAME],
// --remove-service[=NAME], --start-service[=NAME], --stop-service[=NAME],
// --account=NAME. True when the token was one.
bool ReadRoleOption(const std::string& token, CommandLineReport* report) {
  using Role = CommandLineReport::Role;
  static const struct {
    const char* name;
    Role role;
  } kRoles[] = {{"--SERVICE", Role::Service},
                {"--VIEW", Role::View},
                {"--INSTALL-SERVICE", Role::InstallService},
                {"--REMOVE-SERVICE", Role::RemoveService},
                {"--START-SERVICE", Role::StartService},
                {"--STOP-SERVICE", Role::StopService}};
  if (token.rfind("--ACCOUNT=", 0) == 0) {
    report->account = token.substr(10);
    if (report->account.empty()) report->error = "--account= names no account";
    return true;
  }
  for (const auto& r : kRoles) {
    const std::size_t n = std::strlen(r.name);
    if (token.compare(0, n, r.name) != 0 || (token.size() > n && token[n] != '=')) continue;
    if (report->role != Role::Tray && report->role != r.role) {
      report->error = "only one of --service, --view and --...-service";
      return true;
    }
    report->role = r.role;
    report->instance = token.size() > n ? token.substr(n + 1) : "";
    const bool plain = report->instance.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
                       std::string::npos;
    if (report->instance.size() > 64 || !plain || (token.size() > n && report->instance.empty())) {
      report->error = "an instance is named with up to 64 letters, digits, - and _, not \"" +
                      report->instance + "\"";
    }
    return true;
  }
  return false;
}

// The Windows program's options, anywhere on the line: no printer or folder
// is named that way. True when the token was one.
bool ReadWindowsOption(const char* token, bool quoted, SpoolSettings& settings,
                       CommandLineReport* report) {
  if (!quoted && std::strcmp(token, "--BINARY") == 0) {
    settings.byteForByte = 1;
    return true;
  }
  if (ReadRoleOption(token, report)) return true;
  // The metrics file, quoted or not (under Program Files it holds a space).
  if (std::strncmp(token, "--METRICS-FILE=", 15) != 0) return false;
  std::string path = token + 15;
  const bool prom = path.size() > 5 && path.compare(path.size() - 5, 5, ".PROM") == 0;
  const bool absolute =
      (path.size() > 2 && path[1] == ':' && path[2] == '\\') || path.compare(0, 2, "\\\\") == 0;
  if (!prom || !absolute) {
    report->error =
        "--metrics-file takes a full path ending in .prom (the textfile collector reads only "
        "those), not \"" +
        path + "\"";
    return true;
  }
  path.replace(path.size() - 5, 5, ".prom");  // the collector matches it in lower case
  report->metricsFile = path;
  return true;
}

// The rules stand; what they ignore is said (in the log, and a single
// argument in the tooltip too).
void SayIgnored(int count, char* const* slots, const std::string& ignored,
                CommandLineReport* report) {
  if (count == 2) {
    report->warnings.push_back("ignored the single argument \"" + std::string(slots[1]) +
                               "\": a printer needs a pattern after it; the defaults stand");
  }
  if (!ignored.empty()) {
    report->warnings.push_back("ignored what follows the third argument (" + ignored +
                               "): only PRINTER PATTERN [TRUE] are read");
  }
  if (count == kMaxTokens && std::strcmp(slots[3], "TRUE") != 0) {
    report->warnings.push_back("the third argument \"" + std::string(slots[3]) +
                               "\" is not TRUE: force delete stays off");
  }
}

}  // namespace

CommandLineReport ReadCommandLineText(SpoolSettings& settings, const char* commandLine,
                                      CommandLineRules rules) {
  CommandLineReport report;
  const std::string whole = commandLine != nullptr ? commandLine : "";
  char buffer[kSettingsTextSize];
  CopyText(buffer, whole.c_str());
  SqueezeSpaces(buffer, "A");
  if (whole.size() > kSettingsValueLimit && std::strlen(buffer) >= kSettingsValueLimit) {
    // Cutting it would hand a piece of a name to the printer or the folder.
    report.error = TooLong("The command line", whole.size());
    return report;
  }
  if (rules == CommandLineRules::Windows) UpperCase(buffer);
  CopyText(settings.commandLine, buffer);
  char* program = nullptr;
  char* cursor = nullptr;
  if (SplitProgram(buffer, &program, &cursor)) {
    CopyText(settings.commandLine, DefaultsFor(rules).displayText);
    return report;
  }
  char empty[kMaxTokens][1] = {};
  char* slots[kMaxTokens] = {program, empty[1], empty[2], empty[3]};
  int count = 1;
  std::string ignored;
  bool quoted = false;
  while (char* token = NextToken(&cursor, &quoted, &report.error)) {
    if (token[0] == '\0') continue;
    if (rules == CommandLineRules::Windows && ReadWindowsOption(token, quoted, settings, &report)) {
      if (!report.error.empty()) return report;
      continue;
    }
    if (count == kMaxTokens) {
      ignored += (ignored.empty() ? "" : " ") + std::string(token);
      continue;
    }
    slots[count++] = token;
  }
  if (!report.error.empty()) return report;
  SayIgnored(count, slots, ignored, &report);
  ApplyArguments(settings, count, slots, rules);
  return report;
}

namespace {

enum class Option { Positional, Taken, Ends };

// One of the POSIX program's options; Ends for --help, --version and a
// refusal (in report->error).
Option ReadPosixOption(const std::string& arg, SpoolSettings& settings, CommandLineReport* report) {
  if (arg == "--help" || arg == "-h") {
    report->help = true;
    return Option::Ends;
  }
  if (arg == "--version") {
    report->version = true;
    return Option::Ends;
  }
  if (arg == "--check") {
    report->check = true;
  } else if (arg.rfind("--delete-after=", 0) == 0) {
    const std::string when = arg.substr(15);
    if (when != "printed" && when != "accepted") {
      report->error = "--delete-after takes \"accepted\" or \"printed\", not \"" + when + "\"";
      return Option::Ends;
    }
    settings.deleteAfterPrinted = when == "printed" ? 1 : 0;
  } else if (arg == "--binary") {
    settings.byteForByte = 1;
  } else if (arg.rfind("--metrics-file=", 0) == 0) {
    // Empty (a unit's unset METRICS_FILE): none.
    const std::string path = arg.substr(15);
    const bool prom = path.size() > 5 && path.compare(path.size() - 5, 5, ".prom") == 0;
    if (!path.empty() && (path[0] != '/' || !prom || path.back() == '/')) {
      report->error =
          "--metrics-file takes an absolute path ending in .prom (the textfile collector reads "
          "only those), not \"" +
          path + "\"";
      return Option::Ends;
    }
    report->metricsFile = path;
  } else if (arg.size() > 1 && arg[0] == '-') {
    report->error = "unknown option \"" + arg + "\"";
    return Option::Ends;
  } else {
    return Option::Positional;
  }
  return Option::Taken;
}

// What PRINTER PATTERN [TRUE] cannot be (an error), and what is ignored.
void CheckPositional(const std::vector<std::string>& positional, CommandLineReport* report) {
  const std::size_t n = positional.size();
  // Never the defaults in place of what was meant: a stray word ("status"),
  // or an empty value (a unit's ${PRINTER} from a missing or misspelt key).
  if (n == 1) {
    report->error = "a single argument \"" + positional[0] +
                    "\": give PRINTER and PATTERN, or nothing for the defaults";
    return;
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (positional[i].find_first_not_of(" \t") == std::string::npos) {
      report->error = std::string(i == 0 ? "PRINTER" : "PATTERN") +
                      " is empty (a missing or misspelt key in the configuration?)";
      return;
    }
  }
  const std::size_t name = positional[1].rfind('/') + 1;  // 0 without a slash
  const std::size_t hash = positional[1].find('#', name);
  if (hash != std::string::npos && hash > name &&
      (positional[1][hash - 1] == ' ' || positional[1][hash - 1] == '\t')) {
    report->error = "the pattern \"" + positional[1] +
                    "\" holds a comment: comments must stand on lines of their own";
    return;
  }
  if (n >= 4) {
    std::string ignored;
    for (std::size_t i = 3; i < n; ++i) ignored += (i > 3 ? " " : "") + positional[i];
    report->warnings.push_back("ignored " + std::to_string(n - 3) +
                               " argument(s) after the third (" + ignored +
                               "): only PRINTER PATTERN [TRUE] are read");
  }
  if (n >= 3 && !EqualsIgnoreCase(positional[2].c_str(), "TRUE")) {
    report->warnings.push_back("the third argument \"" + positional[2] +
                               "\" is not TRUE: force delete stays off");
  }
}

}  // namespace

CommandLineReport ReadCommandLineArgs(SpoolSettings& settings, int argc, const char* const* argv) {
  CommandLineReport report;
  std::vector<std::string> positional;
  std::string shown = argc > 0 && argv[0] != nullptr ? argv[0] : "druvo";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    const Option option = ReadPosixOption(arg, settings, &report);
    if (option == Option::Ends) return report;
    if (option == Option::Positional) {
      if (arg.size() > kSettingsValueLimit) {
        report.error = TooLong("Argument " + std::to_string(positional.size() + 1), arg.size());
        return report;
      }
      positional.push_back(arg);
    }
    shown += ' ';
    shown += arg.find_first_of(" \t") == std::string::npos ? arg : "'" + arg + "'";
  }
  const std::size_t n = positional.size();
  if (n >= 3 && !HasWildcard(positional[1].c_str())) {
    report.error = "the pattern \"" + positional[1] + "\" has no wildcard and " +
                   std::to_string(n - 2) +
                   " more argument(s) follow: the shell expanded an unquoted pattern. "
                   "Quote the pattern, e.g. '/var/spool/druvo/*.*'";
    return report;
  }
  if (n == 0) {
    CopyText(settings.commandLine, DefaultsFor(CommandLineRules::Posix).displayText);
    return report;
  }
  CopyText(settings.commandLine, shown.c_str());
  CheckPositional(positional, &report);
  if (!report.error.empty()) return report;
  std::string program = shown.substr(0, shown.find(' '));
  char* slots[kMaxTokens] = {&program[0]};
  int count = 1;
  for (std::size_t i = 0; i < n && i < 3; ++i) slots[count++] = &positional[i][0];
  ApplyArguments(settings, count, slots, CommandLineRules::Posix);
  return report;
}

}  // namespace druvo
