#include "core/drop_folder.h"

namespace druvo {

DropFolder DropFolder::Of(const std::string& source, char separator) {
  DropFolder d;
  d.separator = separator;
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
