#include "spool/print_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace druvo {
namespace {

// Feeds the input in pieces of the given size and returns the output.
std::string Filtered(const std::string& input, std::size_t piece) {
  TextModeFilter filter;
  std::string out;
  std::vector<unsigned char> buffer(piece + 1);
  for (std::size_t at = 0; at < input.size() && !filter.Ended(); at += piece) {
    const std::size_t n = std::min(piece, input.size() - at);
    const std::size_t got =
        filter.Filter(reinterpret_cast<const unsigned char*>(input.data() + at), n, buffer.data());
    out.append(reinterpret_cast<char*>(buffer.data()), got);
  }
  const std::size_t tail = filter.Finish(buffer.data());
  out.append(reinterpret_cast<char*>(buffer.data()), tail);
  return out;
}

TEST(TextModeFilter, LineEndsCtrlZAndEveryOtherByteAtEverySplit) {
  struct Case {
    std::string in;
    std::string out;
  };
  std::string all;
  for (int b = 0; b < 256; ++b) {
    if (b != 0x1A && b != '\r') all.push_back(static_cast<char>(b));
  }
  const std::vector<Case> cases = {
      {"A\r\nB\r\n", "A\nB\n"},
      {"A\rB", "A\rB"},  // a lone CR stays
      {"A\r", "A\r"},    // also at the very end
      {"\r\r\n", "\r\n"},
      {"A\r\r", "A\r\r"},
      {"AB\x1A"
       "CD",
       "AB"},  // Ctrl-Z ends the data
      {"A\r\x1A", "A\r"},
      {std::string("\x1B!\0X\n", 5), std::string("\x1B!\0X\n", 5)},
      {std::string("A\0\0B\n", 5), std::string("A\0\0B\n", 5)},  // NUL pairs pass
      {"", ""},
      {all, all},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{64}}) {
      EXPECT_EQ(Filtered(c.in, piece), c.out) << "piece " << piece;
    }
  }
}

}  // namespace
}  // namespace druvo
