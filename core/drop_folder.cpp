#include "core/drop_folder.h"

#include <algorithm>

namespace druvo {

DropFolder DropFolder::Of(const std::string& given, char separator) {
  DropFolder d;
  d.separator = separator;
  // Windows takes a slash for a backslash in a path, but not in the long
  // form (\\?\ and the path) the files are opened by: one spelling.
  std::string source = given;
  if (separator == '\\') std::replace(source.begin(), source.end(), '/', '\\');
  std::size_t split = source.rfind(separator);
  if (split != std::string::npos) {
    ++split;
  } else {
    const bool driveRelative = separator == '\\' && source.size() > 1 && source[1] == ':';
    split = driveRelative ? 2 : 0;
  }
  d.prefix = source.substr(0, split);
  d.names = source.substr(split);
  return d;
}

}  // namespace druvo
