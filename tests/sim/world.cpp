#include "tests/sim/world.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/wildcard.h"

namespace druvo::sim {

void Trace::Add(long long nowMs, const std::string& what) {
  char when[32];
  std::snprintf(when, sizeof when, "%8lld.%03lld s  ", nowMs / 1000, nowMs % 1000);
  lines_.push_back(when + what);
  static const std::size_t keep = [] {
    const char* lines = std::getenv("DRUVO_SIM_TRACE");  // lines kept for the report
    return lines != nullptr ? std::strtoul(lines, nullptr, 10) : 80UL;
  }();
  if (lines_.size() > keep) lines_.pop_front();
}

std::string Trace::Text() const {
  std::string out;
  for (const std::string& line : lines_) out += "  " + line + "\n";
  return out;
}

// ---- The ledger -------------------------------------------------------------

std::string Ledger::NewReceipt(Rng& rng, std::size_t minBody, std::size_t maxBody) {
  const long serial = nextSerial_++;
  std::string body;
  const std::size_t length = minBody + rng.Below(maxBody - minBody + 1);
  for (std::size_t i = 0; i < length; ++i)
    body.push_back(i % 41 == 40 ? ' ' : static_cast<char>('a' + rng.Below(26)));
  const std::string tag = std::to_string(serial);
  std::string content = "<R" + tag + ">" + body + "</R" + tag + ">\n";
  receipts_[serial].content = content;
  return content;
}

std::vector<long> Ledger::Serials(const std::string& bytes) {
  // Each line from its last receipt start: a receipt cut off and begun
  // again is not whole.
  std::vector<long> found;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::size_t open = bytes.rfind("<R", end);
    if (open == std::string::npos || open < start) continue;
    found.push_back(std::strtol(bytes.c_str() + open + 2, nullptr, 10));
  }
  return found;
}

void Ledger::Finished(const std::string& content, int delta) {
  for (const long serial : Serials(content)) {
    auto it = receipts_.find(serial);
    if (it == receipts_.end() || content.find(it->second.content) == std::string::npos) continue;
    it->second.instances += delta;
    produced_ += delta;
  }
}

void Ledger::Whole(const std::string& candidate, int Receipt::*count) {
  const std::size_t open = candidate.rfind("<R");
  if (open == std::string::npos) return;
  const long serial = std::strtol(candidate.c_str() + open + 2, nullptr, 10);
  auto it = receipts_.find(serial);
  if (it == receipts_.end() || candidate.compare(open, std::string::npos, it->second.content) != 0)
    return;
  Receipt& r = it->second;
  ++(r.*count);
  if (count == &Receipt::handed && orphaned_ && r.handed > r.deleted) {
    ++r.instances;
    ++worldRepeats_;
  }
  if (count != &Receipt::paper) return;
  ++onPaper_;
  if (r.paper > r.instances) {
    Violate("receipt R" + std::to_string(serial) + " is whole on paper " +
            std::to_string(r.paper) + " times; its producers wrote it " +
            std::to_string(r.instances) + " time(s)");
  }
}

void Ledger::Stream(const std::string& bytes, std::string* partial, int Receipt::*count) {
  for (const char c : bytes) {
    partial->push_back(c);
    if (c == 'R' && partial->size() >= 2 && (*partial)[partial->size() - 2] == '<') {
      partial->assign("<R");
    } else if (c == '\n') {
      Whole(*partial, count);
      partial->clear();
    }
  }
  if (partial->size() > 1 << 20) partial->clear();
}

void Ledger::HandedOver(const std::string& document) {
  std::size_t start = 0;
  for (std::size_t end; (end = document.find('\n', start)) != std::string::npos; start = end + 1)
    Whole(document.substr(start, end + 1 - start), &Receipt::handed);
}

void Ledger::DruvoDeleted(const std::string& content, bool proofOnPaper) {
  for (const long serial : Serials(content)) {
    auto it = receipts_.find(serial);
    if (it == receipts_.end() || content.find(it->second.content) == std::string::npos) continue;
    Receipt& r = it->second;
    ++r.deleted;
    const int proof = proofOnPaper ? r.paper : std::max(r.paper, r.handed);
    if (r.deleted > proof) {
      Violate("druvo deleted a file holding receipt R" + std::to_string(serial) + " (" +
              std::to_string(r.deleted) + " such deletes) while it was " +
              (proofOnPaper ? "on paper " : "handed over ") + std::to_string(proof) +
              " time(s)");
    }
  }
}

void Ledger::WorldRepeated(const std::string& document) {
  for (const long serial : Serials(document)) {
    auto it = receipts_.find(serial);
    if (it == receipts_.end()) continue;
    ++it->second.instances;
    ++worldRepeats_;
  }
}

void Ledger::Cancelled(const std::string& document) {
  for (const long serial : Serials(document)) {
    auto it = receipts_.find(serial);
    if (it != receipts_.end()) it->second.cancelled = true;
  }
}

void Ledger::CutOff(const std::string& content) {
  for (const long serial : Serials(content)) {
    auto it = receipts_.find(serial);
    if (it == receipts_.end()) continue;
    Receipt& r = it->second;
    if (r.handed <= r.deleted || r.handed <= r.cutAt) continue;
    r.cutAt = r.handed;
    ++r.instances;
    ++worldRepeats_;
  }
}

bool Ledger::IsCancelled(const std::string& content) const {
  for (const long serial : Serials(content)) {
    auto it = receipts_.find(serial);
    if (it != receipts_.end() && it->second.cancelled) return true;
  }
  return false;
}

// ---- The clock --------------------------------------------------------------

Clock& TheClock() {
  static Clock clock;
  return clock;
}

std::uint64_t Clock::WallTicks() const {
  constexpr long long kStart = 1796882400LL;  // a December morning, 2026
  return static_cast<std::uint64_t>(kStart + kUnixEpochIn1601Seconds) * 10000000ULL +
         static_cast<std::uint64_t>(now_) * kTicksPerMillisecond;
}

long long Clock::NextEvent() const {
  long long next = LLONG_MAX;
  for (const Actor& a : actors_) next = std::min(next, a.next());
  return next;
}

void Clock::AdvanceTo(long long ms) {
  while (now_ < ms) {
    const long long next = std::min(ms, std::max(now_ + 1, NextEvent()));
    now_ = next;
    for (const Actor& a : actors_) a.run(now_);
  }
}

// ---- The drop folder --------------------------------------------------------

SimFs::SimFs(Ledger& ledger, FsOptions options, std::string folder)
    : ledger_(ledger), options_(options), folder_(std::move(folder)) {}

std::uint64_t SimFs::FileTime() const {
  const long long skew = options_.producerSkewMs * static_cast<long long>(kTicksPerMillisecond);
  std::uint64_t t = static_cast<std::uint64_t>(static_cast<long long>(TheClock().WallTicks()) + skew);
  if (options_.oneSecondTimes) t -= t % 10000000ULL;
  return t;
}

void SimFs::Touch(Node& node, bool data) {
  if (data) node.mtime = FileTime();
  node.ctime = FileTime();
}

std::shared_ptr<SimFs::Node> SimFs::Find(const std::string& name) const {
  auto it = names_.find(name);
  return it == names_.end() ? nullptr : it->second;
}

void SimFs::Withdrawn(const std::shared_ptr<Node>& node) {
  // Taken away before druvo ever looked: nobody owes it to paper.
  if (node->finished && !node->seenByDruvo) ledger_.Finished(node->data, -1);
  node->finished = false;
}

std::shared_ptr<SimFs::Node> SimFs::Create(const std::string& name) {
  if (auto old = Find(name)) Withdrawn(old);
  auto node = std::make_shared<Node>();
  node->ino = nextIno_++;
  node->writers = 1;
  Touch(*node, true);
  names_[name] = node;
  hints_[name] = WriteState::Arrived;
  return node;
}

void SimFs::Write(const std::shared_ptr<Node>& node, const std::string& bytes, bool truncate) {
  if (node->finished) Withdrawn(node);  // what it held becomes something else
  if (truncate) node->data.clear();
  node->data += bytes;
  node->seenByDruvo = false;
  Touch(*node, true);
  for (const auto& [name, n] : names_)
    if (n == node) hints_[name] = WriteState::Writing;
}

void SimFs::Close(const std::shared_ptr<Node>& node) {
  if (node->writers > 0) --node->writers;
  if (node->writers != 0) return;
  for (const auto& [name, n] : names_)
    if (n == node && hints_[name] == WriteState::Writing) hints_[name] = WriteState::Closed;
  if (!node->finished && !node->data.empty()) {
    node->finished = true;
    ledger_.Finished(node->data);
  }
}

bool SimFs::Rename(const std::string& from, const std::string& to, bool noReplace) {
  auto node = Find(from);
  if (!node || (noReplace && Find(to))) return false;
  if (auto old = Find(to); old && old != node) Withdrawn(old);
  names_.erase(from);
  hints_.erase(from);
  names_[to] = node;
  hints_[to] = WriteState::Arrived;
  Touch(*node, false);
  return true;
}

bool SimFs::Unlink(const std::string& name) {
  auto node = Find(name);
  if (!node) return false;
  Withdrawn(node);
  names_.erase(name);
  hints_.erase(name);
  return true;
}

void SimFs::Stamp(const std::shared_ptr<Node>& node, std::uint64_t mtime) {
  node->mtime = mtime;
  node->ctime = FileTime();
}

WriteState SimFs::StateOf(const std::string& name) const {
  auto it = hints_.find(name);
  return it == hints_.end() ? WriteState::Unknown : it->second;
}

std::string SimFs::NameOf(const char* path) const {
  const std::string p = path;
  return p.compare(0, folder_.size(), folder_) == 0 ? p.substr(folder_.size()) : p;
}

// ---- What the engine calls --------------------------------------------------

OpResult SimFs::Search(const DropFolder& where,
                       const std::function<void(const DirEntry&)>& visit) {
  TheClock().Interleave();
  // What the listing saw; the visits may meet a folder that moved on.
  std::vector<std::pair<std::string, DirEntry>> seen;
  for (const auto& [name, node] : names_) {
    if (!WildcardMatch(where.names.c_str(), name.c_str())) continue;
    std::uint32_t attributes = kAttrArchive;
    if (node->readOnly) attributes |= kAttrReadOnly;
    if (name[0] == '.') attributes |= kAttrHidden;
    seen.push_back({name, DirEntry{nullptr, attributes, node->mtime, node->data.size()}});
  }
  for (auto& [name, entry] : seen) {
    entry.name = name.c_str();
    visit(entry);
  }
  return OpResult::Ok();
}

namespace {

class SimInput : public InputFile {
 public:
  SimInput(std::shared_ptr<SimFs::Node> node, FileIdentity identity)
      : node_(std::move(node)), identity_(identity) {}
  long long Read(void* buffer, std::size_t size, std::string*) override {
    TheClock().Interleave();
    node_->seenByDruvo = true;  // what it holds now may go to paper
    if (at_ >= node_->data.size()) return 0;
    const std::size_t n = std::min({size, node_->data.size() - at_, std::size_t{1500}});
    std::copy_n(node_->data.data() + at_, n, static_cast<char*>(buffer));
    at_ += n;
    return static_cast<long long>(n);
  }
  FileIdentity Identity() const override { return identity_; }

 private:
  std::shared_ptr<SimFs::Node> node_;
  FileIdentity identity_;
  std::size_t at_ = 0;
};

FileIdentity IdentityOf(const SimFs::Node& node) {
  return FileIdentity{1, node.ino, node.data.size(), node.ctime, 0};
}

}  // namespace

OpenOutcome SimFs::Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) {
  TheClock().Interleave();
  auto node = Find(NameOf(path));
  if (!node) return OpenOutcome::Gone;
  if (node->unreadable) {
    *error = std::string("open ") + path + ": Permission denied";
    return OpenOutcome::Failed;
  }
  if (node->writers > 0 && options_.leases) return OpenOutcome::NotReady;
  node->seenByDruvo = true;
  *file = std::make_unique<SimInput>(node, IdentityOf(*node));
  return OpenOutcome::Opened;
}

OpResult SimFs::Identify(const char* path, FileIdentity* identity, bool* gone) {
  TheClock().Interleave();
  auto node = Find(NameOf(path));
  *gone = !node;
  *identity = node ? IdentityOf(*node) : FileIdentity{};
  return OpResult::Ok();
}

void SimFs::DruvoUnlinks(const std::string& name, bool checked) {
  auto node = Find(name);
  // A force delete (of a file that failed) is the operator's order, owed no proof.
  if (checked && node->writers > 0) ledger_.Violate("druvo deleted " + name + " while its writer had it open");
  if (checked) ledger_.DruvoDeleted(node->data, proofOnPaper);
  names_.erase(name);
  hints_.erase(name);
}

OpResult SimFs::Delete(const char* path) {
  TheClock().Interleave();
  const std::string name = NameOf(path);
  auto node = Find(name);
  if (dead_ || !node) return OpResult::Fail(std::string("unlink ") + path + ": No such file");
  if (node->undeletable) return OpResult::Fail(std::string("unlink ") + path + ": Permission denied");
  DruvoUnlinks(name, !forceDeletes);
  return OpResult::Ok();
}

bool SimFs::ClaimHolds(const std::string& claim, const FileIdentity& printed) {
  auto node = Find(claim);
  if (!node || node->writers > 0) return false;
  if (printed.Known() && !IdentityOf(*node).SameFile(printed)) return false;
  ContentDigest digest;
  digest.Add(node->data.data(), node->data.size());
  return digest.Value() == printed.content;
}

DeleteOutcome SimFs::DeleteIfSame(const char* path, const FileIdentity& read, std::string* error) {
  TheClock().Interleave();
  const std::string name = NameOf(path);
  const std::string claim = ClaimName(name, read.content);
  if (read.content == 0 || Find(claim)) return FileSystem::DeleteIfSame(path, read, error);
  auto node = Find(name);
  if (dead_) return DeleteOutcome::Failed;
  if (!node) return DeleteOutcome::Gone;
  if (node->undeletable) {
    *error = std::string("rename ") + path + ": Operation not permitted";
    return DeleteOutcome::Failed;
  }
  names_.erase(name);
  names_[claim] = node;
  if (atStep) atStep("claimed " + name);
  if (ClaimHolds(claim, read)) {
    DruvoUnlinks(claim);
    return DeleteOutcome::Deleted;
  }
  names_.erase(claim);
  if (Find(name)) {
    names_[claim] = node;
    *error = "it is kept as " + folder_ + claim + " and put back once its name is free";
    stranded_ = true;
    return DeleteOutcome::Replaced;
  }
  names_[name] = node;
  return DeleteOutcome::Replaced;
}

bool SimFs::SettleClaims(const DropFolder& where, std::vector<std::string>* told) {
  bool settled = true;
  std::vector<std::string> claims;
  for (const auto& [name, node] : names_) {
    std::string original;
    std::uint64_t digest = 0;
    if (ParseClaim(name, &original, &digest)) claims.push_back(name);
  }
  for (const std::string& claim : claims) {
    std::string name;
    FileIdentity printed;
    ParseClaim(claim, &name, &printed.content);
    if (ClaimHolds(claim, printed)) {
      DruvoUnlinks(claim);
      told->push_back("deleted " + where.prefix + name + ", printed just before the last stop");
    } else if (!Find(name)) {
      names_[name] = names_[claim];
      names_.erase(claim);
      told->push_back("put back " + where.prefix + name);
    } else {
      settled = false;
    }
  }
  stranded_ = !settled;
  return settled;
}

// ---- The state folder -------------------------------------------------------

OpResult SimStateStore::Load(std::string* out) {
  *out = text;
  return OpResult::Ok();
}

OpResult SimStateStore::Save(const std::string& next) {
  if (dead) return OpResult::Fail("the process is gone");
  if (full) return OpResult::Fail("write " + Where() + ".new: No space left on device");
  torn = next;
  if (beforeRename) beforeRename();
  text = next;
  torn.clear();
  return OpResult::Ok();
}

}  // namespace druvo::sim
