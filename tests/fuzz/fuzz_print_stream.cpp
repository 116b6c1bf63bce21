// Differential: the streaming line-end filter, fed in pieces split at
// fuzzer-chosen places, must give exactly what a plain whole-input model of
// the rule gives (drop CR before LF, stop at Ctrl-Z, keep every other byte).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "spool/print_stream.h"

namespace {

std::string Model(const std::string& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '\x1A') break;
    if (c == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;
    out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the piece sizes; the rest is the file.
  const unsigned seed = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  druvo::TextModeFilter filter;
  std::string out;
  std::size_t at = 0;
  unsigned state = seed | 1u;
  while (at < input.size() && !filter.Ended()) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = 1 + (state >> 16) % 9;
    const std::size_t n = piece < input.size() - at ? piece : input.size() - at;
    std::vector<unsigned char> buffer(n + 1);
    const std::size_t got =
        filter.Filter(reinterpret_cast<const unsigned char*>(input.data() + at), n, buffer.data());
    if (got > n + 1) std::abort();
    out.append(reinterpret_cast<const char*>(buffer.data()), got);
    at += n;
  }
  unsigned char tail[1];
  out.append(reinterpret_cast<const char*>(tail), filter.Finish(tail));
  if (out != Model(input)) std::abort();
  return 0;
}
