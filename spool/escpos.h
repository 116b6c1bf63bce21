// What an ESC/POS printer sends back, told apart by the bits that are fixed
// in each kind of reply, so that status bytes, automatic status and process
// ID responses can share one stream with anything else a printer says.
//   DLE EOT n answer:        1 byte,  bits 0 and 7 clear, 1 and 4 set
//   automatic status (GS a): 4 bytes, the first with bits 0, 1, 7 clear and 4
//                            set, the others with bits 4 and 7 clear
//   process ID (GS ( H):     37 22 d1 d2 d3 d4 00, each d in 0x20-0x7E
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace druvo {

struct EscPosReply {
  enum class Kind { Status, AutoStatus, ProcessId };
  Kind kind = Kind::Status;
  unsigned char bytes[4] = {};  // Status: bytes[0]; AutoStatus: all four
  std::string id;               // ProcessId: the four ID characters
};

class EscPosReader {
 public:
  // Reads on from where the last call stopped; found gets each whole reply
  // in order. Bytes that fit no reply are passed over.
  void Feed(const unsigned char* data, std::size_t size,
            const std::function<void(const EscPosReply&)>& found);
  // Bytes passed over so far: what the printer said that is no reply.
  std::size_t Skipped() const { return skipped_; }

 private:
  enum class State { Idle, AutoStatus, IdHeader, IdBody, IdEnd };
  void Start(unsigned char b, const std::function<void(const EscPosReply&)>& found);

  State state_ = State::Idle;
  EscPosReply reply_;
  std::size_t have_ = 0;
  std::size_t skipped_ = 0;
};

// The ESC/POS requests Druvo sends.
namespace escpos {
// DLE EOT 1, 2, 4: printer, offline cause and paper sensor status.
constexpr unsigned char kStatusQuery[3][3] = {{0x10, 0x04, 1}, {0x10, 0x04, 2}, {0x10, 0x04, 4}};
// GS a n: automatic status on changes of online/offline, errors and paper.
constexpr unsigned char kEnableAutoStatus[3] = {0x1D, 0x61, 0x0E};
// GS ( H fn 48 with a four-character ID: answered once all before it is printed.
std::string ProcessIdRequest(const std::string& id);
bool IsStatusByte(unsigned char b);
// Empty when all is well, else what keeps the printer from printing.
std::string StatusProblem(unsigned char printer, unsigned char offline, unsigned char paper);
std::string AutoStatusProblem(const unsigned char asb[4]);
}  // namespace escpos

}  // namespace druvo
