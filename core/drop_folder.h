// The drop folder and the name pattern, split once from the file source, for
// the search, the watch, the lock and the engine alike. 'C:\FPRI\*.*' is
// 'C:\FPRI\' and '*.*'; a bare '*.PRN' names files in the working folder,
// and 'C:*.*' those in the current folder of drive C:.
#pragma once

#include <string>

namespace druvo {

struct DropFolder {
  std::string prefix;  // joined to a name to make its path; may be empty
  std::string names;   // the wildcard pattern the names must match
  char separator = '\\';

  static DropFolder Of(const std::string& source, char separator);
  std::string PathOf(const std::string& name) const { return prefix + name; }
  std::string Pattern() const { return prefix + names; }
  // What to open, watch or lock: the prefix, or "." for the working folder.
  std::string Folder() const { return prefix.empty() ? std::string(".") : prefix; }
};

}  // namespace druvo
