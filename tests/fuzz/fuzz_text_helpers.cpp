// Every text helper on arbitrary bytes, in buffers of the sizes the program
// uses (512 for settings and the command line, 256 for the print buffer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include <string>

#include "core/drop_folder.h"
#include "core/text_helpers.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  ++data;
  --size;
  // A heap buffer of the real size, so ASan sees any write past it.
  const std::size_t capacity = (selector & 1) != 0 ? 512 : 64;
  std::vector<char> text(capacity);
  const std::size_t n = size < capacity - 1 ? size : capacity - 1;
  std::memcpy(text.data(), data, n);
  text[n] = '\0';
  const std::size_t before = std::strlen(text.data());

  switch ((selector >> 1) % 7) {
    case 0: {
      druvo::TrimBlanks(text.data());
      const std::size_t len = std::strlen(text.data());
      Check(len <= before);
      if (len > 0) Check(!IsBlankChar(text[0]) && !IsBlankChar(text[len - 1]));
      break;
    }
    case 1:
      Check(druvo::StripLineEnd(text.data()) == 0);
      Check(std::strlen(text.data()) <= before);
      break;
    case 2: {
      const int blank = druvo::IsBlank(text.data());
      Check(blank == (text[0] == '\0' ? 1 : 0));
      break;
    }
    case 3: {
      const druvo::DropFolder d =
          druvo::DropFolder::Of(text.data(), (selector & 0x80) != 0 ? '/' : '\\');
      // Nothing lost in the split; on Windows a slash is spelt as a backslash.
      std::string spelt = text.data();
      if (d.separator == '\\') std::replace(spelt.begin(), spelt.end(), '/', '\\');
      Check(d.Pattern() == spelt && d.names.find(d.separator) == std::string::npos);
      break;
    }
    case 4: {
      std::vector<char> needle(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n / 3));
      needle.push_back('\0');
      const int at = druvo::FindLast(needle.data(), text.data());
      Check(at >= 0 && static_cast<std::size_t>(at) <= before);
      if (at > 0) {
        Check(std::strncmp(text.data() + at - 1, needle.data(), std::strlen(needle.data())) == 0);
      }
      break;
    }
    case 5: {
      static const char* const kModes[] = {"A", "R", "L", "X"};
      char* result = druvo::SqueezeSpaces(text.data(), kModes[(selector >> 4) & 3]);
      Check(result == text.data());
      Check(std::strlen(text.data()) <= before);
      break;
    }
    case 6: {
      std::vector<unsigned char> buffer(256, 0);
      std::memcpy(buffer.data(), data, size < 256 ? size : 256);
      const std::size_t length = druvo::DataLength(buffer.data(), buffer.size());
      Check(length <= buffer.size());
      if (length + 1 < buffer.size()) Check(buffer[length] == 0 && buffer[length + 1] == 0);
      break;
    }
  }
  return 0;
}
