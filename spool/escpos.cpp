#include "spool/escpos.h"

namespace druvo {

namespace {

bool IsAutoStatusFirst(unsigned char b) { return (b & 0x93) == 0x10; }
bool IsAutoStatusMore(unsigned char b) { return (b & 0x90) == 0x00; }
bool IsIdCharacter(unsigned char b) { return b >= 0x20 && b <= 0x7E; }

}  // namespace

void EscPosReader::Start(unsigned char b, const std::function<void(const EscPosReply&)>& found) {
  reply_ = EscPosReply{};
  have_ = 0;
  if (escpos::IsStatusByte(b)) {
    reply_.kind = EscPosReply::Kind::Status;
    reply_.bytes[0] = b;
    found(reply_);
  } else if (IsAutoStatusFirst(b)) {
    reply_.kind = EscPosReply::Kind::AutoStatus;
    reply_.bytes[have_++] = b;
    state_ = State::AutoStatus;
  } else if (b == 0x37) {
    reply_.kind = EscPosReply::Kind::ProcessId;
    state_ = State::IdHeader;
  } else {
    ++skipped_;
  }
}

void EscPosReader::Feed(const unsigned char* data, std::size_t size,
                        const std::function<void(const EscPosReply&)>& found) {
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char b = data[i];
    const State state = state_;
    state_ = State::Idle;
    switch (state) {
      case State::Idle:
        break;
      case State::AutoStatus:
        if (!IsAutoStatusMore(b)) break;  // not a status after all: b starts anew
        reply_.bytes[have_++] = b;
        if (have_ < 4) {
          state_ = State::AutoStatus;
        } else {
          found(reply_);
        }
        continue;
      case State::IdHeader:
        if (b != 0x22) break;
        state_ = State::IdBody;
        continue;
      case State::IdBody:
        if (!IsIdCharacter(b)) break;
        reply_.id.push_back(static_cast<char>(b));
        state_ = reply_.id.size() < 4 ? State::IdBody : State::IdEnd;
        continue;
      case State::IdEnd:
        if (b != 0x00) break;
        found(reply_);
        continue;
    }
    Start(b, found);
  }
}

namespace escpos {

std::string ProcessIdRequest(const std::string& id) {
  std::string request("\x1D\x28\x48\x06\x00\x30\x30", 7);
  return request + id;
}

bool IsStatusByte(unsigned char b) { return (b & 0x93) == 0x12; }

std::string StatusProblem(unsigned char printer, unsigned char offline, unsigned char paper) {
  if ((paper & 0x60) != 0 || (offline & 0x20) != 0) return "paper out";
  if ((offline & 0x04) != 0) return "cover open";
  if ((offline & 0x40) != 0) return "printer error";
  if ((offline & 0x08) != 0) return "offline (FEED pressed)";
  if ((printer & 0x08) != 0) return "offline";
  return std::string();
}

std::string AutoStatusProblem(const unsigned char asb[4]) {
  if ((asb[2] & 0x0C) != 0) return "paper out";
  if ((asb[0] & 0x20) != 0) return "cover open";
  if ((asb[1] & 0x6C) != 0) return "printer error";
  if ((asb[0] & 0x40) != 0) return "offline (FEED pressed)";
  if ((asb[0] & 0x08) != 0) return "offline";
  return std::string();
}

}  // namespace escpos

}  // namespace druvo
