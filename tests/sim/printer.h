// A receipt printer on the network, raw TCP, speaking ESC/POS as an Epson
// TM does (and its less faithful kin): it takes bytes into a small buffer
// as fast as it prints them, answers DLE EOT at once, automatic status on
// every change once asked, and a process ID (GS ( H fn 48) once all before
// it is printed. A paper end, an open cover or FEED pause it with its
// buffer kept; a power cut loses the buffer; an answer it cannot send is
// kept (the latest) for the next connection.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "spool/printer_link.h"
#include "tests/sim/world.h"

namespace druvo::sim {

struct PrinterKind {
  bool answersIds = true;
  bool autoStatus = true;     // GS a
  bool clearsAtStop = false;  // drops its buffer at a paper end or open cover
  bool folds = false;         // piled-up ID answers shrink to the latest
  long long bytesPerSecond = 2900;
  std::size_t buffer = 4096;
  std::string Name() const;
};

class EscPosPrinter {
 public:
  struct Connection {
    std::string toPrinter;  // sent, not yet taken (unacknowledged)
    std::string toDruvo;    // replies not yet read
    bool finSent = false;   // druvo shut its side down
    bool closedByPrinter = false;
    bool reset = false;     // either side reset it: both know
    bool deadPath = false;  // half-open: nothing gets through
    bool closedByDruvo = false;
    bool orphaned = false;  // its druvo was killed: the kernel sends what it queued
    bool revealAtPower = false;  // the printer rebooted: the next segment meets a reset
    long serial = 0;
  };

  EscPosPrinter(Ledger& ledger, Trace& trace, PrinterKind kind);
  // A new connection, served after those before it are done; none while
  // switched off or refusing.
  std::shared_ptr<Connection> Accept();
  void Pump();  // takes what it has room for
  void Run(long long now);
  long long Next() const;
  void Drop(const std::shared_ptr<Connection>& c);

  // What the world does to it.
  void Stop(const std::string& why);  // "paper", "cover" or "feed"
  void Resume();
  void PowerCut();
  void PowerOn();
  void NetworkReset();
  void HalfOpen();
  // Another program connects while druvo has no connection and clears
  // the buffer (DLE ENQ 2, DLE DC4 fn 8).
  void ClearedByAnother();
  bool powered = true;
  bool refusing = false;
  const std::string& Stopped() const { return stopped_; }
  const PrinterKind& Kind() const { return kind_; }
  // What was printed before each process ID answer handed to a connection
  // since the last call: druvo may die before it acts on the answer.
  std::vector<std::string> TakeAnswered() { return std::move(answered_); }

 private:
  struct Item {
    std::string data;
    std::string id;  // a process ID request, when data is empty
    std::weak_ptr<Connection> from;  // where the request came
    long serial = 0;                 // ...by its number
  };
  bool Alive(const Connection& c) const { return !c.reset && !c.deadPath && !c.closedByDruvo; }
  std::shared_ptr<Connection> Front();
  void ClearBuffer();
  void Take(unsigned char b);
  void Command();
  // True: handed to a connection. An ID's answer (id, asked on from) is
  // kept when it cannot be sent.
  bool Reply(const std::string& bytes, bool keepIfUnsent = false, const std::string& id = {},
             long from = 0);
  void AutoStatus();
  unsigned char StatusByte(int n) const;
  void PrintUntil(long long now);
  void Serve();

  Ledger& ledger_;
  Trace& trace_;
  PrinterKind kind_;
  std::deque<std::shared_ptr<Connection>> connections_;
  std::deque<Item> buffer_;
  std::size_t buffered_ = 0;
  std::string command_;
  std::string stopped_;
  std::string kept_;  // the latest answer that could not be sent
  std::string keptPrinted_;  // what was printed before that answer
  std::string keptId_;       // its ID, and where it was asked
  long keptFrom_ = 0;
  long serials_ = 0;
  std::string sinceId_;  // printed since the last process ID was answered
  std::vector<std::string> answered_;
  bool asb_ = false;
  long long printClock_ = 0;  // microseconds: how far the printing has got
  bool served_ = false;  // the front connection was given what was kept
};

// druvo's end of a TCP connection to that printer, with a send buffer of
// its own (what the printer has not acknowledged yet).
class SimLink : public PrinterLink {
 public:
  SimLink(EscPosPrinter& printer, const bool& processDead, std::size_t sendBuffer)
      : printer_(printer), dead_(processDead), window_(sendBuffer) {}
  ~SimLink() override { Close(); }
  OpResult Open(int timeoutMs, const std::function<bool()>& stopping) override;
  bool IsOpen() const override { return c_ != nullptr; }
  bool IsSocket() const override { return true; }
  long long Send(const void* data, std::size_t size, std::string* error) override;
  long long Receive(void* data, std::size_t size, std::string* error) override;
  int Wait(bool writing, int ms) override;
  long long Unacknowledged() override { return c_ ? static_cast<long long>(c_->toPrinter.size()) : 0; }
  void ShutdownSending() override;
  void Reset() override;
  void Close() override;
  std::string Name() const override { return "printer:9100"; }
  int Fd() const override { return c_ ? 7 : -1; }
  // Whether a poll on Fd would wake.
  bool Readable() const { return c_ && (!c_->toDruvo.empty() || c_->closedByPrinter || c_->reset); }

 private:
  EscPosPrinter& printer_;
  const bool& dead_;
  std::size_t window_;
  std::shared_ptr<EscPosPrinter::Connection> c_;
};

}  // namespace druvo::sim
