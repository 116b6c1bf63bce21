#include "tests/sim/printer.h"

#include <algorithm>
#include <climits>

namespace druvo::sim {

std::string PrinterKind::Name() const {
  std::string name = answersIds ? "TM" : "no-IDs";
  if (!autoStatus) name += ", no automatic status";
  if (clearsAtStop) name += ", clears at a stop";
  if (folds) name += ", answers fold";
  if (bytesPerSecond < 1000) name += ", impact (" + std::to_string(bytesPerSecond) + " B/s)";
  return name;
}

EscPosPrinter::EscPosPrinter(Ledger& ledger, Trace& trace, PrinterKind kind)
    : ledger_(ledger), trace_(trace), kind_(kind) {}

std::shared_ptr<EscPosPrinter::Connection> EscPosPrinter::Accept() {
  if (!powered || refusing) return nullptr;
  auto c = std::make_shared<Connection>();
  c->serial = ++serials_;
  connections_.push_back(c);
  Serve();
  return c;
}

std::shared_ptr<EscPosPrinter::Connection> EscPosPrinter::Front() {
  // Done with: reset, dead, or closed by druvo with every byte taken.
  while (!connections_.empty()) {
    Connection& c = *connections_.front();
    if (c.reset || c.deadPath) {
      c.toPrinter.clear();
    } else if (!(c.finSent && c.toPrinter.empty())) {
      return connections_.front();
    } else {
      c.closedByPrinter = true;  // raw port printers close at the end of a job
    }
    connections_.pop_front();
    served_ = false;
  }
  return nullptr;
}

void EscPosPrinter::Serve() {
  auto c = Front();
  if (!c || served_) return;
  served_ = true;
  if (!kept_.empty() && Alive(*c)) {
    c->toDruvo += kept_;
    // Handed over: a druvo that dies before it acts on it takes the news.
    answered_.push_back(keptPrinted_);
    kept_.clear();
    keptPrinted_.clear();
  }
}

void EscPosPrinter::Drop(const std::shared_ptr<Connection>& c) {
  c->reset = true;
  Pump();
}

void EscPosPrinter::Pump() {
  if (!powered) return;
  for (auto c = Front(); c; c = Front()) {
    Serve();
    std::size_t n = 0;
    while (n < c->toPrinter.size() && buffered_ < kind_.buffer) Take(static_cast<unsigned char>(c->toPrinter[n++]));
    if (n > 0) ledger_.Received(c->toPrinter.substr(0, n), c->orphaned);
    c->toPrinter.erase(0, n);
    if (!c->toPrinter.empty() || !c->finSent) return;
    Front();  // closes it, and serves the next
  }
}

void EscPosPrinter::Take(unsigned char b) {
  if (command_.empty() && b != 0x10 && b != 0x1D) {
    if (buffer_.empty() || buffer_.back().data.empty()) buffer_.push_back(Item{});
    buffer_.back().data.push_back(static_cast<char>(b));
    ++buffered_;
    return;
  }
  command_.push_back(static_cast<char>(b));
  Command();
}

void EscPosPrinter::Command() {
  const auto at = [this](std::size_t i) { return static_cast<unsigned char>(command_[i]); };
  const std::size_t n = command_.size();
  if (n < 3) return;
  if (at(0) == 0x10 && at(1) == 0x04) {  // DLE EOT n: real time, answered at once
    const std::string answer(1, static_cast<char>(StatusByte(at(2))));
    Reply(answer, false);
  } else if (at(0) == 0x1D && at(1) == 0x61) {  // GS a n
    asb_ = kind_.autoStatus && at(2) != 0;
    AutoStatus();
  } else if (at(0) == 0x1D && at(1) == 0x28 && n < 11) {
    return;  // GS ( H: its ID is still coming
  } else if (at(0) == 0x1D && at(1) == 0x28) {
    const auto from = Front();
    buffer_.push_back(Item{std::string(), command_.substr(7, 4), from, from ? from->serial : 0});
    buffered_ += 11;
  }
  command_.clear();
}

unsigned char EscPosPrinter::StatusByte(int n) const {
  unsigned char b = 0x12;
  const bool paper = stopped_ == "paper";
  if (n == 1 && !stopped_.empty()) b |= 0x08;
  if (n == 2 && stopped_ == "cover") b |= 0x04;
  if (n == 2 && stopped_ == "feed") b |= 0x08;
  if (n == 2 && paper) b |= 0x20;
  if (n == 4 && paper) b |= 0x60;
  return b;
}

void EscPosPrinter::AutoStatus() {
  if (!asb_) return;
  std::string asb(4, '\0');
  asb[0] = static_cast<char>(0x10 | (stopped_.empty() ? 0 : 0x08) | (stopped_ == "cover" ? 0x20 : 0) |
                             (stopped_ == "feed" ? 0x40 : 0));
  asb[2] = static_cast<char>(stopped_ == "paper" ? 0x0C : 0);
  Reply(asb, false);
}

namespace {
unsigned long IdNumber(const std::string& id) {
  unsigned long n = 0;
  for (std::size_t i = id.size(); i-- > 0;) n = n * 95 + static_cast<unsigned char>(id[i]) - 0x20;
  return n;
}
}  // namespace

bool EscPosPrinter::Reply(const std::string& bytes, bool keepIfUnsent, const std::string& id,
                          long from) {
  auto c = Front();
  if (c && Alive(*c)) {
    c->toDruvo += bytes;
    if (keepIfUnsent) keptPrinted_.clear();
    return true;
  }
  if (keepIfUnsent) {
    // The latest only. It stands for the one it replaces only where that
    // was asked just before it on the same connection; otherwise (a new
    // connection's own ID, a druvo that died between) nothing tells any
    // more that what came out before the replaced answer did.
    const bool follows = keptFrom_ == from && IdNumber(keptId_) + 1 == IdNumber(id);
    if (!kept_.empty() && !follows && !keptPrinted_.empty()) {
      trace_.Add(TheClock().Now(), "printer: the answer it kept is replaced by a later one that does not stand for it");
      ledger_.WorldRepeated(keptPrinted_);
      keptPrinted_.clear();
    }
    kept_ = bytes;
    keptId_ = id;
    keptFrom_ = from;
    keptPrinted_ += sinceId_;
    if (keptPrinted_.size() > 1 << 20) keptPrinted_.erase(0, keptPrinted_.size() - (1 << 19));
  }
  return false;
}

void EscPosPrinter::PrintUntil(long long now) {
  while (!buffer_.empty() && stopped_.empty()) {
    Item& item = buffer_.front();
    if (item.data.empty()) {
      const std::string id = item.id;
      const auto from = item.from.lock();
      const long serial = item.serial;
      buffer_.pop_front();
      buffered_ -= 11;
      const bool piled = kind_.folds && !buffer_.empty() && buffer_.front().data.empty();
      if (kind_.answersIds && !piled) {
        if (Reply(std::string("\x37\x22", 2) + id + std::string(1, '\0'), true, id, serial)) {
          answered_.push_back(sinceId_);
          if (answered_.size() > 64) answered_.erase(answered_.begin());
        }
      }
      if (kind_.answersIds && piled && (!from || !Alive(*from))) {
        // Its connection is gone and its answer folds into the next one:
        // nobody can tell any more that what came before it was printed.
        trace_.Add(now, "printer: the answer to " + id + " folds into the next; its connection is gone");
        ledger_.WorldRepeated(sinceId_);
      }
      sinceId_.clear();
      continue;
    }
    const long long can = (now * 1000 - printClock_) * kind_.bytesPerSecond / 1000000;
    if (can <= 0) return;
    const std::size_t n = std::min(item.data.size(), static_cast<std::size_t>(can));
    ledger_.Paper(item.data.substr(0, n));
    sinceId_ += item.data.substr(0, n);
    if (sinceId_.size() > 1 << 20) sinceId_.erase(0, sinceId_.size() - (1 << 19));
    item.data.erase(0, n);
    buffered_ -= n;
    printClock_ += static_cast<long long>(n) * 1000000 / kind_.bytesPerSecond;
    if (item.data.empty()) buffer_.pop_front();
  }
}

void EscPosPrinter::Run(long long now) {
  if (!powered) return;
  if (buffer_.empty() || !stopped_.empty()) printClock_ = now * 1000;  // idle time buys no credit
  PrintUntil(now);
  Pump();
  PrintUntil(now);
}

long long EscPosPrinter::Next() const {
  if (!powered || !stopped_.empty() || buffer_.empty()) return LLONG_MAX;
  if (buffer_.front().data.empty()) return printClock_ / 1000 + 1;
  const long long chunk = std::min<long long>(static_cast<long long>(buffer_.front().data.size()), 256);
  return printClock_ / 1000 + std::max<long long>(1, chunk * 1000 / kind_.bytesPerSecond);
}

void EscPosPrinter::Stop(const std::string& why) {
  if (!powered || !stopped_.empty()) return;
  stopped_ = why;
  if (kind_.clearsAtStop) ClearBuffer();
  AutoStatus();
}

void EscPosPrinter::Resume() {
  if (stopped_.empty()) return;
  stopped_.clear();
  printClock_ = TheClock().Now() * 1000;
  AutoStatus();
}

void EscPosPrinter::ClearedByAnother() {
  // DLE ENQ 2 comes from a host, and the printer serves one connection at
  // a time: another program's, once every connection of druvo's is done.
  // It gets the answer kept for druvo, too.
  if (!powered || Front() != nullptr) return;
  trace_.Add(TheClock().Now(), "printer: another program clears its buffer");
  if (!kept_.empty()) ledger_.WorldRepeated(keptPrinted_);
  kept_.clear();
  keptPrinted_.clear();
  ClearBuffer();
}

void EscPosPrinter::ClearBuffer() {
  buffer_.clear();
  buffered_ = 0;
  command_.clear();
  Pump();
}

void EscPosPrinter::PowerCut() {
  if (!powered) return;
  powered = false;
  ClearBuffer();
  if (!kept_.empty()) {
    // Printed, and the answer that said so goes with the power: nobody
    // can tell any more that it came out.
    trace_.Add(TheClock().Now(), "printer: the answer it kept goes with the power");
    ledger_.WorldRepeated(keptPrinted_);
  }
  kept_.clear();
  keptPrinted_.clear();
  asb_ = false;
  stopped_.clear();
  for (auto& c : connections_) {
    c->deadPath = true;
    c->revealAtPower = true;
  }
  connections_.clear();
}

void EscPosPrinter::PowerOn() {
  if (powered) return;
  powered = true;
  printClock_ = TheClock().Now() * 1000;
}

void EscPosPrinter::NetworkReset() {
  if (auto c = Front()) c->reset = true;
  Front();
}

void EscPosPrinter::HalfOpen() {
  if (auto c = Front()) c->deadPath = true;
  Front();
}

// ---- druvo's end --------------------------------------------------------------

OpResult SimLink::Open(int timeoutMs, const std::function<bool()>& /*stopping*/) {
  TheClock().Interleave();
  Close();
  c_ = printer_.Accept();
  if (c_) return OpResult::Ok();
  if (printer_.refusing) return OpResult::Fail("connect printer:9100: Connection refused");
  TheClock().Advance(timeoutMs);
  return OpResult::Fail("connect printer:9100: no answer within " + std::to_string(timeoutMs / 1000) + " s");
}

long long SimLink::Send(const void* data, std::size_t size, std::string* error) {
  TheClock().Interleave();
  if (!c_) return kFailed;
  if (c_->revealAtPower && printer_.powered) c_->reset = true;
  if (c_->reset) {
    *error = "Connection reset by peer";
    return kFailed;
  }
  const std::size_t room = window_ > c_->toPrinter.size() ? window_ - c_->toPrinter.size() : 0;
  const std::size_t n = std::min(size, room);
  c_->toPrinter.append(static_cast<const char*>(data), n);
  if (!c_->deadPath) printer_.Pump();
  return static_cast<long long>(n);
}

long long SimLink::Receive(void* data, std::size_t size, std::string* error) {
  TheClock().Interleave();
  if (!c_) return kFailed;
  if (!c_->toDruvo.empty()) {
    const std::size_t n = std::min(size, c_->toDruvo.size());
    std::copy_n(c_->toDruvo.data(), n, static_cast<char*>(data));
    c_->toDruvo.erase(0, n);
    return static_cast<long long>(n);
  }
  if (c_->reset) {
    *error = "Connection reset by peer";
    return kFailed;
  }
  return c_->closedByPrinter ? kClosed : 0;
}

int SimLink::Wait(bool writing, int ms) {
  const long long end = TheClock().Now() + ms;
  for (;;) {
    if (!c_) return -1;
    if (c_->revealAtPower && printer_.powered) c_->reset = true;
    const bool ready = c_->reset || c_->closedByPrinter || !c_->toDruvo.empty() ||
                       (writing && c_->toPrinter.size() < window_);
    if (ready) return 1;
    if (TheClock().Now() >= end) return 0;
    TheClock().StepToward(end);
  }
}

void SimLink::ShutdownSending() {
  if (!c_) return;
  c_->finSent = true;
  printer_.Pump();
}

void SimLink::Reset() {
  if (!c_) return;
  if (dead_) return Close();  // killed: the kernel closes it the ordinary way
  printer_.Drop(c_);
  c_ = nullptr;
}

void SimLink::Close() {
  if (!c_) return;
  c_->orphaned = dead_;
  c_->finSent = true;
  c_->closedByDruvo = true;
  printer_.Pump();
  c_ = nullptr;
}

}  // namespace druvo::sim
