// Text-mode reading done by hand, so that every platform sends the printer the
// same bytes: a CR right before an LF is dropped (also when a read ends
// between the two), a Ctrl-Z ends the data, every other byte passes. Byte
// for byte, every byte passes.
#pragma once

#include <cstddef>

namespace druvo {

class TextModeFilter {
 public:
  static constexpr unsigned char kCtrlZ = 0x1A;

  explicit TextModeFilter(bool byteForByte = false) : byteForByte_(byteForByte) {}

  // Filters size input bytes into out, which must have room for size + 1
  // bytes (a CR held back from the previous call may come first). Returns the
  // number of bytes written. Input after a Ctrl-Z is ignored.
  std::size_t Filter(const unsigned char* in, std::size_t size, unsigned char* out);

  // At the end of the data: emits a CR that was held back. Needs room for 1.
  std::size_t Finish(unsigned char* out);

  bool Ended() const { return ended_; }

 private:
  bool byteForByte_;
  bool pendingCr_ = false;
  bool ended_ = false;
};

}  // namespace druvo
