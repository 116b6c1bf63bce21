// The simulated world the real engine runs in: one clock, a drop folder with
// its producers, a state folder, and the ledger of what reached paper. All
// of it is driven by one seed; nothing here reads the real clock or disk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "spool/ports.h"

namespace druvo::sim {

// SplitMix64: small, fast, and the same on every machine.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // 0 .. n-1
  std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
  bool Chance(unsigned percent) { return Below(100) < percent; }

 private:
  std::uint64_t state_;
};

// The last world events, for the report of a violation.
class Trace {
 public:
  void Add(long long nowMs, const std::string& what);
  std::string Text() const;
  void Clear() { lines_.clear(); }

 private:
  std::deque<std::string> lines_;
};

// What reached paper, what was handed over, what the producers wrote and
// what druvo deleted, per receipt. Every receipt a producer writes is
// "<R" serial ">" body "</R" serial ">\n": its bytes tell it apart from
// any other (two identical tickets share a serial on purpose).
class Ledger {
 public:
  std::string NewReceipt(Rng& rng, std::size_t minBody, std::size_t maxBody);
  // A producer finished writing these bytes under a name; or it took them
  // away again before druvo had looked.
  void Finished(const std::string& content, int delta = 1);
  // Bytes coming out of a printer, in order, across calls; bytes a
  // printer took in (acknowledged), likewise.
  void Paper(const std::string& bytes) { Stream(bytes, &paperPartial_, &Receipt::paper); }
  // orphaned: sent by the kernel for a druvo that was killed; where the
  // handover is all that counts (at least once), the file may go again.
  void Received(const std::string& bytes, bool orphaned = false) {
    orphaned_ = orphaned && atLeastOnce;
    Stream(bytes, &takenPartial_, &Receipt::handed);
  }
  // A print server took a whole document / a printer took every byte.
  void HandedOver(const std::string& document);
  // druvo deleted a file with these bytes; proofOnPaper: only paper counts.
  void DruvoDeleted(const std::string& content, bool proofOnPaper);
  // The world itself printed a receipt twice (a print server that lost the
  // record of a job it had printed): allowed once more.
  void WorldRepeated(const std::string& document);
  void Cancelled(const std::string& document);
  // druvo was killed or stopped with this file handed over and not yet
  // deleted: where nothing but the handover counts (at least once), it may
  // go again.
  void CutOff(const std::string& content);

  bool atLeastOnce = false;
  const std::string& Violation() const { return violation_; }
  void Violate(const std::string& why) {
    if (violation_.empty()) violation_ = why;
  }
  long long OnPaper() const { return onPaper_; }
  long long Produced() const { return produced_; }
  long long Repeats() const { return worldRepeats_; }
  bool IsCancelled(const std::string& content) const;
  static std::vector<long> Serials(const std::string& bytes);

 private:
  struct Receipt {
    std::string content;
    int instances = 0;  // finished and not taken back unseen
    int paper = 0;
    int handed = 0;
    int deleted = 0;
    bool cancelled = false;
    int cutAt = 0;  // handovers when it was last allowed once more
  };
  void Whole(const std::string& candidate, int Receipt::*count);
  void Stream(const std::string& bytes, std::string* partial, int Receipt::*count);
  std::map<long, Receipt> receipts_;
  long nextSerial_ = 1;
  std::string paperPartial_;  // since the last receipt start
  std::string takenPartial_;
  bool orphaned_ = false;
  std::string violation_;
  long long onPaper_ = 0;
  long long produced_ = 0;
  long long worldRepeats_ = 0;
};

// One clock for everything: milliseconds since the world began. Waiting
// runs the world (printers print, servers finish jobs) up to the new time.
class Clock {
 public:
  long long Now() const { return now_; }
  // 100 ns ticks since 1601 on druvo's wall clock.
  std::uint64_t WallTicks() const;
  void Advance(long long ms) { AdvanceTo(now_ + (ms > 0 ? ms : 0)); }
  void AdvanceTo(long long ms);
  // Each part of the world that acts over time: runs it up to ms, and says
  // when it next changes something others may wait for.
  struct Actor {
    std::function<void(long long)> run;
    std::function<long long()> next;
  };
  void Add(Actor actor) { actors_.push_back(std::move(actor)); }
  long long NextEvent() const;
  // To the next event, or until, whichever comes first; at least 1 ms on.
  void StepToward(long long until) { AdvanceTo(std::min(until, std::max(now_ + 1, NextEvent()))); }
  // Called at each step of druvo's own work (a file read, a byte sent): the
  // world may act between any two of them.
  std::function<void()> interleave;
  void Interleave() {
    if (interleave) interleave();
  }

 private:
  long long now_ = 0;
  std::vector<Actor> actors_;
};

Clock& TheClock();

struct FsOptions {
  bool oneSecondTimes = false;    // ext4 with 128-byte inodes, vfat, shares
  long long producerSkewMs = 0;   // a share written by a machine with another clock
  bool leases = true;             // a writer is seen by a read lease
};

// The drop folder, as the POSIX platform presents it to the engine: a
// printed file is claimed (renamed to a hidden name), checked and unlinked.
class SimFs : public FileSystem {
 public:
  struct Node {
    std::uint64_t ino = 0;
    std::string data;
    std::uint64_t mtime = 0, ctime = 0;
    int writers = 0;
    bool readOnly = false, unreadable = false, undeletable = false;
    bool finished = false;  // counted in the ledger as a receipt to print
    bool seenByDruvo = false;
  };
  SimFs(Ledger& ledger, FsOptions options, std::string folder);

  // The producers' side.
  std::shared_ptr<Node> Create(const std::string& name);  // replaces what had the name
  void Write(const std::shared_ptr<Node>& node, const std::string& bytes, bool truncate);
  void Close(const std::shared_ptr<Node>& node);
  bool Rename(const std::string& from, const std::string& to, bool noReplace = false);
  bool Unlink(const std::string& name);
  void Stamp(const std::shared_ptr<Node>& node, std::uint64_t mtime);
  std::shared_ptr<Node> Find(const std::string& name) const;
  const std::map<std::string, std::shared_ptr<Node>>& Names() const { return names_; }
  std::uint64_t FileTime() const;
  // druvo died: its open files are closed by the kernel; nothing it does now counts.
  void SetDead(bool dead) { dead_ = dead; }
  bool proofOnPaper = false;
  // Failed files are deleted too (force delete): Delete owes no proof.
  bool forceDeletes = false;
  // A crash between the claim and the unlink, when set.
  std::function<void(const std::string&)> atStep;
  // A new druvo starts its watch afresh: it knows nothing of earlier writes.
  void ForgetHints() { hints_.clear(); }

  OpResult Search(const DropFolder& where,
                  const std::function<void(const DirEntry&)>& visit) override;
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file,
                   std::string* error) override;
  OpResult Delete(const char* path) override;
  OpResult Identify(const char* path, FileIdentity* identity, bool* gone) override;
  DeleteOutcome DeleteIfSame(const char* path, const FileIdentity& read,
                             std::string* error) override;
  bool SettleClaims(const DropFolder& where, std::vector<std::string>* told) override;
  bool ClaimsLeft() const override { return stranded_; }
  std::size_t MaxPathLength() const override { return 4095; }
  char Separator() const override { return '/'; }

  // What inotify would tell, by name.
  WriteState StateOf(const std::string& name) const;

 private:
  std::string NameOf(const char* path) const;
  bool ClaimHolds(const std::string& claim, const FileIdentity& printed);
  void Withdrawn(const std::shared_ptr<Node>& node);
  void DruvoUnlinks(const std::string& name, bool checked = true);
  void Touch(Node& node, bool data);
  Ledger& ledger_;
  FsOptions options_;
  std::string folder_;  // with its trailing '/'
  std::map<std::string, std::shared_ptr<Node>> names_;
  std::map<std::string, WriteState> hints_;
  std::uint64_t nextIno_ = 100;
  bool stranded_ = false;
  bool dead_ = false;
};

class SimHints : public WriteHints {
 public:
  explicit SimHints(const SimFs& fs) : fs_(fs) {}
  WriteState StateOf(const char* name) const override { return fs_.StateOf(name); }

 private:
  const SimFs& fs_;
};

// The state folder: written beside the old file, flushed and renamed over
// it, so a crash leaves one whole version or the other; the new file may
// be left torn. The disk may fill up, or damage a line.
class SimStateStore : public StateStore {
 public:
  OpResult Load(std::string* text) override;
  OpResult Save(const std::string& text) override;
  std::string Where() const override { return "/var/lib/druvo/state-drop"; }
  bool full = false;
  bool dead = false;
  std::function<void()> beforeRename;  // where a crash may strike
  std::string text;                    // what the state file holds
  std::string torn;                    // what a crash left of the new file
};

}  // namespace druvo::sim
