// One world's run: the druvo process hosted as the daemon hosts it (the
// spool host, its dispatcher, the printer or server it was given), the
// world acting between and inside its steps, crashes at any of them, and
// the checks.
#include <algorithm>
#include <climits>

#include "core/clock.h"
#include "spool/direct_printer.h"
#include "spool/printer_address.h"
#include "spool/record_list.h"
#include "tests/sim/sim.h"

namespace druvo::sim {

namespace {

struct Crashed {};

constexpr const char* kFolder = "/drop/";

class World;

// druvo as the daemon runs it: the same host, dispatcher and printer.
class Druvo : public StatusSink, public SpoolTimer {
 public:
  Druvo(World& world, const Config& config);
  ~Druvo() override {
    host_.reset();
    spooler_.reset();
    ListDestroy(&jobs_);
  }
  void Turn(long long gapMs);
  void Terminate();
  bool Readable() const { return link_ != nullptr && spooler_->WaitFd() >= 0 && link_->Readable(); }
  std::size_t Remembered() const;
  const EngineReport& Report() { return host_->Engine().Report(); }
  SpoolEngine& Engine() { return host_->Engine(); }

  CycleDispatcher dispatcher{200};
  volatile std::sig_atomic_t stop = 0;
  bool dead = false;

  void ShowState(EngineState) override {}
  void ShowError(const char*, const std::string& detail, bool repeated) override {
    if (!repeated) Log(LogLevel::Error, "printer unavailable: " + detail);
  }
  void Log(LogLevel level, const std::string& line) override;
  void Stop() override { dispatcher.StopTimer(); }
  void Start(int periodMs) override { dispatcher.StartTimer(TheClock().Now(), periodMs); }
  void Sleep(int ms) override { TheClock().Advance(ms); }
  std::uint64_t Now() override { return TheClock().WallTicks(); }

 private:
  World& world_;
  SpoolSettings settings_{};
  RecordList jobs_;
  std::unique_ptr<TrackingSpooler> spooler_;
  SimLink* link_ = nullptr;
  std::unique_ptr<SpoolHost> host_;
};

class World {
 public:
  World(std::uint64_t seed, const Config& config);
  ~World() {
    processDead = true;
    druvo.reset();
    TheClock() = Clock();
  }
  void Step(const Action& a);
  void Calm();
  void Finish();
  void CrashPoint();
  void Say(const std::string& what) { trace.Add(TheClock().Now(), what); }

  Config config;
  Trace trace;
  Ledger ledger;
  SimFs fs;
  SimHints hints{fs};
  SimStateStore store;
  std::unique_ptr<EscPosPrinter> printer;
  std::unique_ptr<SimCupsd> cupsd;
  std::unique_ptr<Druvo> druvo;
  bool processDead = false;
  std::size_t step = 0;
  long long crashes = 0, stops = 0, cycles = 0, confirmed = 0;

 private:
  void Start();
  void Turn(Rng& r);
  void Crash(bool thrown);
  void CutOff();
  void GracefulStop();
  void Produce(const Action& a, Rng& r);
  void ProduceNow(Act act, Rng& r);
  void ProduceSlowly(Act act, Rng& r);  // a slow writer, or one appending after a close
  void ProduceByName(Act act, Rng& r);  // a temporary name renamed, the same ticket again
  void WriteWhole(const std::string& name, const std::string& bytes);
  void WorldFault(const Action& a, Rng& r);
  void Heal(Rng& r, bool all);
  void Damage(Rng& r);
  void Changed();
  std::string PickName(Rng& r, bool oldest = false) const;
  void Interleave();

  Rng rng_;
  std::uint64_t seed_;
  long long termAt_ = LLONG_MAX;
  int crashIn_ = 0;
  bool crashArmed_ = false;
  std::vector<Action> pending_;  // producers at work while druvo works
  struct Slow {
    std::shared_ptr<SimFs::Node> node;
    std::string rest;
    bool closedBetween;  // appends after closing
  };
  std::vector<Slow> slow_;
  std::string ticket_;  // what the fixed-name producer wrote last
  long names_ = 0;
};

// ---- druvo -------------------------------------------------------------------

Druvo::Druvo(World& world, const Config& config) : world_(world), jobs_(ListCreate()) {
  LoadDefaultSettings(settings_);
  const bool direct = config.mode == Mode::Direct || config.mode == Mode::DirectConfirm;
  std::snprintf(settings_.fileSource, sizeof settings_.fileSource, "%s*.*", kFolder);
  std::snprintf(settings_.printerName, sizeof settings_.printerName, "%s",
                !direct ? "RACUN"
                        : config.mode == Mode::DirectConfirm ? "socket://printer?confirm=escpos"
                                                             : "socket://printer");
  settings_.forceDelete = config.forceDelete ? 1 : 0;
  settings_.deleteAfterPrinted = config.mode == Mode::CupsPrinted ? 1 : 0;
  PrinterAddress address = ParsePrinterAddress(settings_.printerName, true);
  ApplyPrintedModeRule(address, settings_.deleteAfterPrinted);
  if (direct) {
    DirectOptions options;
    options.stopFlag = &stop;
    options.note = [this](const std::string& line) { Log(LogLevel::Warning, line); };
    auto link = std::make_unique<SimLink>(*world.printer, world.processDead, config.sendBuffer);
    link_ = link.get();
    spooler_ = std::make_unique<DirectPrinter>(address, std::move(link), options);
  }
  TrackingSpooler& spooler = direct ? *spooler_ : static_cast<TrackingSpooler&>(*world.cupsd);
  if (address.kind == PrinterAddress::Kind::Queue || address.confirm) {
    if (OpResult r = spooler.OpenQueue(settings_.printerName); !r) Log(LogLevel::Warning, "warning: " + r.error);
    spooler.CloseQueue();
  }
  if (config.watch) {
    dispatcher.ArmTried(TheClock().Now(), true);
    dispatcher.Watched(true);
  } else {
    dispatcher.NoWatch();
  }
  EngineOptions options;
  options.settleTicks = 200 * kTicksPerMillisecond;
  host_ = std::make_unique<SpoolHost>(
      settings_, jobs_, dispatcher,
      SpoolPorts{world.fs, spooler, spooler, *this, *this, &world.store,
                 config.watch ? &world.hints : nullptr},
      address, &stop, options);
}

void Druvo::Log(LogLevel level, const std::string& line) {
  static const char* const kLevels[] = {"E ", "W ", "I "};
  world_.Say("druvo: " + std::string(kLevels[static_cast<int>(level)]) + line);
}

std::size_t Druvo::Remembered() const {
  const SpoolState& s = host_->Engine().State();
  return s.undeletable.size() + s.inFlight.size() + s.held.size() + s.cut.size();
}

void Druvo::Turn(long long gapMs) {
  // The daemon's loop: wait for the printer, the folder or the timer, then
  // a cycle when one is due.
  Clock& clock = TheClock();
  const long long target = clock.Now() + std::min(host_->WaitMs(clock.Now()), gapMs);
  while (!Readable() && stop == 0 && clock.Now() < target)
    clock.StepToward(target);
  if (Readable()) host_->PrinterSpoke();
  if (stop != 0 || !host_->Due(clock.Now())) return;
  host_->Cycle();
  ++world_.cycles;
}

void Druvo::Terminate() {
  // SIGTERM: what the printer owes is waited for while it keeps coming.
  host_->AwaitConfirmations(
      [this] {
        Clock& clock = TheClock();
        const long long end = clock.Now() + 100;
        while (!Readable() && clock.Now() < end) clock.StepToward(end);
      },
      10000, 60000);
  host_->Stopped();
}

// ---- The world ---------------------------------------------------------------

World::World(std::uint64_t seed, const Config& c)
    : config(c), fs(ledger, c.fs, kFolder), rng_(seed * 31 + 7), seed_(seed) {
  TheClock() = Clock();
  SeedEntropy(seed * 977 + 3);
  fs.proofOnPaper = c.mode == Mode::CupsPrinted || (c.mode == Mode::DirectConfirm && c.printer.answersIds);
  fs.forceDeletes = c.forceDelete;
  ledger.atLeastOnce = !fs.proofOnPaper;
  printer = std::make_unique<EscPosPrinter>(ledger, trace, c.printer);
  cupsd = std::make_unique<SimCupsd>(ledger, trace, c.cups, processDead);
  TheClock().Add({[this](long long now) { printer->Run(now); }, [this] { return printer->Next(); }});
  TheClock().Add({[this](long long now) { cupsd->Run(now); }, [this] { return cupsd->Next(); }});
  TheClock().Add({[this](long long now) {
                    if (now >= termAt_ && druvo) druvo->stop = 1;
                    if (now >= termAt_) termAt_ = LLONG_MAX;
                  },
                  [this] { return termAt_; }});
  TheClock().interleave = [this] { Interleave(); };
  fs.atStep = [this](const std::string&) { CrashPoint(); };
  store.beforeRename = [this] { CrashPoint(); };
}

void World::CrashPoint() {
  if (!crashArmed_ || crashIn_ <= 0 || --crashIn_ > 0) return;
  Crash(true);
}

void World::Interleave() {
  CrashPoint();
  // A producer may act between any two of druvo's steps.
  if (pending_.empty() || !rng_.Chance(30)) return;
  const Action a = pending_.front();
  pending_.erase(pending_.begin());
  Rng r(a.arg);
  ProduceNow(a.act, r);
}

void World::Start() {
  processDead = false;
  fs.SetDead(false);
  store.dead = false;
  fs.ForgetHints();
  const std::string before = store.text;
  druvo = std::make_unique<Druvo>(*this, config);
  // What the state file says is what druvo remembers, less the lines the
  // disk damaged.
  std::size_t expected = 0;
  for (std::size_t at = before.find('\n'); at != std::string::npos && at + 1 < before.size();
       at = before.find('\n', at + 1))
    expected += before[at + 1] != '\n' && before[at + 1] != '?';
  if (druvo->Remembered() < expected) {
    ledger.Violate("druvo started remembering " + std::to_string(druvo->Remembered()) +
                   " file(s); its state file holds " + std::to_string(expected) + " whole line(s)");
  }
  Say("druvo starts");
}

void World::CutOff() {
  // At least once: a file handed over and still here goes again.
  if (!fs.proofOnPaper) {
    for (const auto& [name, node] : fs.Names()) ledger.CutOff(node->data);
    return;
  }
  // On paper, and its answer went to the druvo that died before it deleted
  // the file: nothing tells the next one that it was printed.
  for (const std::string& printed : printer->TakeAnswered()) {
    if (printed.empty()) continue;
    for (const auto& [name, node] : fs.Names()) {
      if (node->data.empty() || printed.find(node->data) == std::string::npos) continue;
      ledger.WorldRepeated(node->data);
      break;
    }
  }
}

void World::Crash(bool thrown) {
  Say("druvo is killed");
  CutOff();
  ++crashes;
  processDead = true;
  fs.SetDead(true);
  store.dead = true;
  crashIn_ = 0;
  crashArmed_ = false;
  if (thrown) throw Crashed{};
  if (druvo) confirmed += static_cast<long long>(druvo->Report().confirmed);
  druvo.reset();
  cupsd->ClientGone();
}

void World::GracefulStop() {
  Say("druvo stops (SIGTERM)");
  ++stops;
  druvo->Terminate();
  CutOff();
  confirmed += static_cast<long long>(druvo->Report().confirmed);
  druvo.reset();
}

void World::Turn(Rng& r) {
  if (!druvo) {
    Start();
    return;
  }
  crashArmed_ = crashIn_ > 0;
  try {
    druvo->Turn(static_cast<long long>(r.Below(400)));
  } catch (const Crashed&) {
    confirmed += static_cast<long long>(druvo->Report().confirmed);
    druvo.reset();
    cupsd->ClientGone();
    crashArmed_ = false;
    return;
  }
  crashArmed_ = false;
  for (const Action& a : pending_) {
    Rng p(a.arg);
    ProduceNow(a.act, p);
  }
  pending_.clear();
  if (druvo->stop != 0) GracefulStop();
}

void World::Changed() {
  if (druvo && config.watch) druvo->dispatcher.Changed();
}

std::string World::PickName(Rng& r, bool oldest) const {
  std::vector<std::pair<std::uint64_t, std::string>> visible;
  for (const auto& [name, node] : fs.Names())
    if (name[0] != '.') visible.push_back({node->mtime, name});
  if (visible.empty()) return std::string();
  if (oldest) return std::min_element(visible.begin(), visible.end())->second;
  return visible[r.Below(visible.size())].second;
}

void World::Step(const Action& a) {
  ++step;
  Rng r(a.arg);
  if (a.act != Act::Turn) Say(Describe(a));
  switch (a.act) {
    case Act::Turn:
      return Turn(r);
    case Act::Crash:
      crashIn_ = 1 + static_cast<int>(r.Below(80));
      return;
    case Act::Term:
      termAt_ = TheClock().Now() + static_cast<long long>(r.Below(3000));
      return;
    case Act::Pause:
      TheClock().Advance(static_cast<long long>(r.Below(120000)));
      return;
    case Act::Restart:
      if (druvo) Crash(false);
      return;
    default:
      break;
  }
  if (a.act <= Act::Undeletable) return Produce(a, r);
  WorldFault(a, r);
}

void World::Produce(const Action& a, Rng& r) {
  // Some act while druvo is at work on the folder: between two of its steps.
  const bool racy = a.act == Act::Vanish ||
                    ((a.act == Act::SameAgain || a.act == Act::TempRename || a.act == Act::Rewrite) &&
                     r.Chance(50));
  if (racy && druvo) {
    pending_.push_back(a);
    return;
  }
  Rng own(a.arg);
  ProduceNow(a.act, own);
}

void World::WriteWhole(const std::string& name, const std::string& bytes) {
  auto node = fs.Create(name);
  fs.Write(node, bytes, false);
  fs.Close(node);
}

void World::ProduceSlowly(Act act, Rng& r) {
  if (act != Act::SlowMore) {
    const std::string content = ledger.NewReceipt(r, 200, 3000);
    const std::size_t part = 1 + r.Below(content.size() - 1);
    auto node = fs.Create("s" + std::to_string(++names_) + ".prn");
    fs.Write(node, content.substr(0, part), false);
    if (act == Act::Append) fs.Close(node);
    slow_.push_back(Slow{node, content.substr(part), act == Act::Append});
    return;
  }
  if (slow_.empty()) return;
  const std::size_t which = r.Below(slow_.size());
  Slow& s = slow_[which];
  if (s.closedBetween) s.node->writers = 1;  // opened again to append
  const std::size_t part = std::min(s.rest.size(), 1 + r.Below(s.rest.size()));
  fs.Write(s.node, s.rest.substr(0, part), false);
  s.rest.erase(0, part);
  if (s.closedBetween || s.rest.empty()) fs.Close(s.node);
  if (s.rest.empty()) slow_.erase(slow_.begin() + static_cast<long>(which));
}

void World::ProduceByName(Act act, Rng& r) {
  if (act == Act::TempRename) {
    const std::string temp = ".t" + std::to_string(++names_);
    const std::string content = ledger.NewReceipt(r, 20, 1500);
    WriteWhole(temp, content);
    const bool over = r.Chance(30);
    if (over) ticket_ = content;
    fs.Rename(temp, over ? "ticket.prn" : "t" + std::to_string(names_) + ".prn");
    return;
  }
  if (ticket_.empty()) return;
  auto node = fs.Find("ticket.prn");
  if (node && r.Chance(50)) {  // rewritten in place: same inode, same bytes
    node->writers = 1;
    fs.Write(node, ticket_, true);
    fs.Close(node);
  } else {
    WriteWhole(".again", ticket_);
    fs.Rename(".again", "ticket.prn");
  }
}

void World::ProduceNow(Act act, Rng& r) {
  switch (act) {
    case Act::Receipt: {
      const bool fixed = r.Chance(30);
      const std::string content = ledger.NewReceipt(r, 20, 1500);
      if (fixed) ticket_ = content;
      WriteWhole(fixed ? "ticket.prn" : "r" + std::to_string(++names_) + ".prn", content);
      break;
    }
    case Act::SlowStart:
    case Act::Append:
    case Act::SlowMore:
      ProduceSlowly(act, r);
      break;
    case Act::TempRename:
    case Act::SameAgain:
      ProduceByName(act, r);
      break;
    case Act::Rewrite: {
      auto node = fs.Find(PickName(r));
      if (!node || node->writers > 0) break;
      node->writers = 1;
      fs.Write(node, ledger.NewReceipt(r, 20, 1500), true);
      fs.Close(node);
      break;
    }
    case Act::Stamp: {
      if (auto node = fs.Find(PickName(r)))
        fs.Stamp(node, fs.FileTime() - r.Below(7200) * 10000000ULL);
      break;
    }
    case Act::Burst:
      for (int i = 0; i < 1000; ++i)
        WriteWhole("b" + std::to_string(++names_) + ".prn", ledger.NewReceipt(r, 10, 60));
      break;
    case Act::Remove:
      fs.Unlink(PickName(r));
      break;
    case Act::Vanish:
      fs.Unlink(PickName(r, true));
      break;
    case Act::Unreadable:
      if (auto node = fs.Find(PickName(r))) node->unreadable = true;
      break;
    case Act::Undeletable:
      if (auto node = fs.Find(PickName(r))) node->undeletable = true;
      break;
    default:
      break;
  }
  Changed();
}

void World::WorldFault(const Action& a, Rng& r) {
  switch (a.act) {
    case Act::PaperOut: return printer->Stop("paper");
    case Act::Cover: return printer->Stop("cover");
    case Act::Feed: return printer->Stop("feed");
    case Act::Resume: return printer->Resume();
    case Act::PowerCut: return printer->PowerCut();
    case Act::PowerOn: return printer->PowerOn();
    case Act::NetReset: return printer->NetworkReset();
    case Act::HalfOpen: return printer->HalfOpen();
    case Act::ClearBuffer: return printer->ClearedByAnother();
    case Act::Refuse: printer->refusing = true; return;
    case Act::CupsKill: return cupsd->Kill9();
    case Act::CupsRestart: return cupsd->Restart();
    case Act::CupsHold: cupsd->stopped = true; return;
    case Act::CupsRelease: cupsd->stopped = false; return;
    case Act::CupsSlow: cupsd->slowMs = r.Chance(70) ? 2000 : 40000; return;
    case Act::CupsCancel: return cupsd->AdminCancel(r.Next());
    case Act::CupsOther: return cupsd->OtherJob();
    case Act::DiskFull: store.full = true; return;
    case Act::DiskDamage: return Damage(r);
    case Act::Heal: return Heal(r, r.Chance(30));
    default: return;
  }
}

void World::Heal(Rng& r, bool all) {
  const int pick = all ? -1 : static_cast<int>(r.Below(6));
  if (pick < 0 || pick == 0) printer->Resume();
  if (pick < 0 || pick == 1) printer->PowerOn();
  if (pick < 0 || pick == 2) printer->refusing = false;
  if (pick < 0 || pick == 3) {
    cupsd->stopped = false;
    cupsd->slowMs = 0;
  }
  if (pick < 0 || pick == 4) store.full = false;
  if (pick < 0 || pick == 5) {
    for (const auto& [name, node] : fs.Names()) node->unreadable = node->undeletable = false;
  }
}

void World::Damage(Rng& r) {
  // Disk damage garbles one line while druvo is down: what that line kept
  // is lost, and its file may come out once more.
  std::vector<std::size_t> starts;
  for (std::size_t at = store.text.find('\n'); at != std::string::npos && at + 1 < store.text.size();
       at = store.text.find('\n', at + 1))
    starts.push_back(at + 1);
  if (starts.empty()) return;
  if (druvo) Crash(false);
  const std::size_t begin = starts[r.Below(starts.size())];
  const std::size_t end = store.text.find('\n', begin);
  const std::string line = store.text.substr(begin, end - begin);
  for (const auto& [name, node] : fs.Names()) {
    const std::string path = kFolder + name;
    if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
      ledger.WorldRepeated(node->data);
  }
  store.text.replace(begin, end - begin, "?" + line.substr(0, line.size() / 2));
}

void World::Calm() {
  // Faults stop: what was owed must come out, once.
  Say("the world calms down");
  pending_.clear();
  termAt_ = LLONG_MAX;
  crashIn_ = 0;
  Rng r(seed_);
  Heal(r, true);
  for (Slow& s : slow_) {
    s.node->writers = 1;
    fs.Write(s.node, s.rest, false);
    fs.Close(s.node);
  }
  slow_.clear();
  Changed();
  const long long until = TheClock().Now() + 30 * 60 * 1000;
  while (TheClock().Now() < until) {
    Turn(r);
    if (!druvo || !druvo->Engine().Quiet() || druvo->Engine().State().inFlight.size() != 0) continue;
    bool waits = false;
    for (const auto& [name, node] : fs.Names())
      waits = waits || (name[0] != '.' && !ledger.IsCancelled(node->data)) ||
              name.rfind(".druvo-claim.", 0) == 0;
    if (!waits) break;
    TheClock().Advance(1000);
  }
}

void World::Finish() {
  for (const auto& [name, node] : fs.Names()) {
    if (name.rfind(".druvo-claim.", 0) == 0) {
      ledger.Violate("the claim " + name + " was never settled");
    } else if (name[0] != '.' && !node->readOnly && !ledger.IsCancelled(node->data)) {
      ledger.Violate(name + " still waits after the world calmed down");
    }
  }
  if (druvo) GracefulStop();
  if (confirmed > ledger.OnPaper())
    ledger.Violate("druvo counted " + std::to_string(confirmed) + " receipts confirmed; " +
                   std::to_string(ledger.OnPaper()) + " reached paper");
}

}  // namespace

Outcome Run(std::uint64_t seed, const std::vector<Action>& actions) {
  const Config config = Config::Of(seed);
  World world(seed, config);
  Outcome out;
  const auto failed = [&](std::size_t step) {
    if (world.ledger.Violation().empty()) return false;
    out.failed = true;
    out.step = step;
    out.violation = world.ledger.Violation();
    out.trace = world.trace.Text();
    return true;
  };
  for (std::size_t i = 0; i < actions.size(); ++i) {
    world.Step(actions[i]);
    if (failed(i + 1)) return out;
  }
  world.Calm();
  world.Finish();
  if (failed(actions.size() + 1)) return out;
  out.summary = config.Name() + ": " + std::to_string(actions.size()) + " steps, " +
                std::to_string(TheClock().Now() / 1000) + " s simulated, " +
                std::to_string(world.cycles) + " cycles, " + std::to_string(world.crashes) +
                " kills, " + std::to_string(world.stops) + " stops; " +
                std::to_string(world.ledger.Produced()) + " receipts written, " +
                std::to_string(world.ledger.OnPaper()) + " whole on paper" +
                (world.ledger.Repeats() != 0
                     ? " (" + std::to_string(world.ledger.Repeats()) + " repeated by the world)"
                     : std::string());
  return out;
}

}  // namespace druvo::sim
