#include "spool/print_stream.h"

#include <cstring>

namespace druvo {

std::size_t TextModeFilter::Filter(const unsigned char* in, std::size_t size, unsigned char* out) {
  if (byteForByte_) {
    std::memcpy(out, in, size);
    return size;
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i < size && !ended_; ++i) {
    const unsigned char c = in[i];
    if (pendingCr_) {
      pendingCr_ = false;
      if (c != '\n') out[n++] = '\r';
    }
    if (c == kCtrlZ) {
      ended_ = true;
    } else if (c == '\r') {
      pendingCr_ = true;
    } else {
      out[n++] = c;
    }
  }
  return n;
}

std::size_t TextModeFilter::Finish(unsigned char* out) {
  if (!pendingCr_) return 0;
  pendingCr_ = false;
  out[0] = '\r';
  return 1;
}

}  // namespace druvo
