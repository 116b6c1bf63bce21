// The command-line reader with arbitrary lines of any length, on the Windows
// and on the POSIX rules: the record always ends up terminated and within
// its limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckRecord(const druvo::SpoolSettings& s, druvo::CommandLineRules rules) {
  const druvo::PlatformDefaults& d = druvo::DefaultsFor(rules);
  Check(std::memchr(s.printerName, 0, sizeof s.printerName) != nullptr);
  Check(std::memchr(s.fileSource, 0, sizeof s.fileSource) != nullptr);
  Check(std::memchr(s.commandLine, 0, sizeof s.commandLine) != nullptr);
  Check(std::strlen(s.printerName) <= druvo::kSettingsValueLimit);
  Check(std::strlen(s.fileSource) <= druvo::kSettingsValueLimit);
  Check(std::strlen(s.commandLine) <= druvo::kSettingsValueLimit ||
        std::strcmp(s.commandLine, d.displayText) == 0);
  Check(s.forceDelete == 0 || s.forceDelete == 1);
  Check(s.pollInterval == 200);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::string terminated = line.c_str();  // up to the first NUL, like a real command line

  druvo::SpoolSettings s;
  druvo::LoadDefaultSettings(s, druvo::CommandLineRules::Windows);
  druvo::ReadCommandLineText(s, terminated.c_str(), druvo::CommandLineRules::Windows);
  CheckRecord(s, druvo::CommandLineRules::Windows);

  // POSIX: the same bytes as argv, split at NULs.
  std::vector<std::string> args;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      args.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  druvo::LoadDefaultSettings(s, druvo::CommandLineRules::Posix);
  druvo::ReadCommandLineArgs(s, static_cast<int>(argv.size()), argv.data());
  CheckRecord(s, druvo::CommandLineRules::Posix);
  return 0;
}
