#include "tests/sim/sim.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "core/clock.h"
#include "core/entropy.h"
#include "core/reentrant_lock.h"
#include "spool/direct_printer.h"
#include "spool/printer_address.h"
#include "spool/record_list.h"

// ---- What the platform gives the engine, here from the simulated world ----

namespace druvo {

namespace {
sim::Rng g_entropy(1);
Fault g_fault = Fault::None;
}  // namespace

long long SteadyMs() { return sim::TheClock().Now(); }
std::uint64_t FreshSeed() { return g_entropy.Next(); }
// One thread: nothing to lock.
ReentrantLock::ReentrantLock() : storage_{} {}
ReentrantLock::~ReentrantLock() = default;
void ReentrantLock::lock() {}
void ReentrantLock::unlock() {}

#ifdef DRUVO_SIM_FAULTS
bool FaultOn(Fault fault) { return fault == g_fault; }
#endif

namespace sim {

void SetFault(Fault fault) { g_fault = fault; }
void SeedEntropy(std::uint64_t seed) { g_entropy = Rng(seed); }

namespace {
const std::pair<const char*, Fault> kFaults[] = {
    {"delete-by-name", Fault::DeleteByName},
    {"no-record-before-send", Fault::NoRecordBeforeSend},
    {"ignore-kept-answer", Fault::IgnoreKeptAnswer},
    {"trust-reused-job-id", Fault::TrustReusedJobId},
    {"damaged-line-drops-all", Fault::DamagedLineDropsAll},
    {"confirm-on-taken", Fault::ConfirmOnTaken},
};
}  // namespace

Fault FaultNamed(const std::string& name) {
  for (const auto& [n, f] : kFaults)
    if (name == n) return f;
  return Fault::None;
}

std::vector<std::string> FaultNames() {
  std::vector<std::string> names;
  for (const auto& [n, f] : kFaults) names.push_back(n);
  return names;
}

// ---- The world's make-up ------------------------------------------------------

namespace {
int g_onlyMode = -1;
}  // namespace

void Config::OnlyMode(int mode) { g_onlyMode = mode; }

Config Config::Of(std::uint64_t seed) {
  Rng r(seed * 0x2545F4914F6CDD1DULL + 17);
  Config c;
  c.mode = static_cast<Mode>(g_onlyMode >= 0 ? g_onlyMode : static_cast<int>(seed % 4));
  c.fs.oneSecondTimes = r.Chance(50);
  if (r.Chance(20)) c.fs.producerSkewMs = r.Chance(50) ? -3600000 : 90000;
  c.fs.leases = r.Chance(90);
  c.printer.answersIds = r.Chance(90);
  c.printer.autoStatus = r.Chance(75);
  c.printer.clearsAtStop = r.Chance(20);
  c.printer.folds = r.Chance(20);
  if (r.Chance(10)) c.printer.bytesPerSecond = 250;
  c.cups.socketActivated = r.Chance(70);
  if (r.Chance(30)) c.cups.maxJobs = 60;
  c.watch = r.Chance(80);
  c.forceDelete = c.mode != Mode::DirectConfirm && r.Chance(10);
  c.sendBuffer = 4096 + r.Below(61440);
  return c;
}

std::string Config::Name() const {
  static const char* const kModes[] = {"CUPS queue, deleted once accepted",
                                       "CUPS queue, deleted once printed",
                                       "direct printer, deleted once taken",
                                       "direct printer, deleted once confirmed on paper"};
  const bool direct = mode == Mode::Direct || mode == Mode::DirectConfirm;
  std::string name = kModes[static_cast<int>(mode)];
  name += "; " + (direct ? printer.Name() : cups.Name());
  name += fs.oneSecondTimes ? "; 1-s times" : "; 1-ns times";
  if (fs.producerSkewMs != 0) name += "; producer clock " + std::to_string(fs.producerSkewMs / 1000) + " s off";
  if (!fs.leases) name += "; no leases";
  if (!watch) name += "; polling only";
  if (forceDelete) name += "; force delete";
  return name;
}

// ---- The plan: what happens, step by step -------------------------------------

namespace {

struct Weight {
  Act act;
  int cups, direct;  // per 10,000 steps
};
constexpr Weight kWeights[] = {
    {Act::Receipt, 1100, 1100}, {Act::SlowStart, 200, 200},  {Act::SlowMore, 400, 400},
    {Act::TempRename, 400, 400}, {Act::SameAgain, 250, 250},  {Act::Rewrite, 100, 100},
    {Act::Stamp, 150, 150},      {Act::Append, 100, 100},     {Act::Burst, 2, 2},
    {Act::Remove, 80, 80},       {Act::Vanish, 150, 150},     {Act::Unreadable, 40, 40},
    {Act::Undeletable, 60, 60},  {Act::Crash, 150, 150},      {Act::Term, 80, 80},
    {Act::Pause, 40, 40},        {Act::PaperOut, 0, 120},     {Act::Cover, 0, 60},
    {Act::Feed, 0, 60},          {Act::Resume, 0, 300},       {Act::PowerCut, 0, 40},
    {Act::PowerOn, 0, 120},      {Act::NetReset, 0, 80},      {Act::HalfOpen, 0, 30},
    {Act::ClearBuffer, 0, 15},   {Act::Refuse, 0, 25},        {Act::CupsKill, 120, 0},
    {Act::CupsRestart, 80, 0},   {Act::CupsHold, 60, 0},      {Act::CupsRelease, 200, 0},
    {Act::CupsSlow, 40, 0},      {Act::CupsCancel, 30, 0},    {Act::CupsOther, 150, 0},
    {Act::DiskFull, 30, 30},     {Act::DiskDamage, 30, 30},   {Act::Heal, 300, 300},
};

}  // namespace

std::vector<Action> Plan(std::uint64_t seed, std::size_t steps) {
  const Config config = Config::Of(seed);
  const bool direct = config.mode == Mode::Direct || config.mode == Mode::DirectConfirm;
  Rng r(seed ^ 0x5DEECE66DULL);
  std::vector<Action> plan;
  plan.reserve(steps);
  for (std::size_t i = 0; i < steps; ++i) {
    Action a{Act::Turn, r.Next()};
    int pick = static_cast<int>(r.Below(10000));
    for (const Weight& w : kWeights) {
      // Without leases nothing tells a writer that paused from one that is
      // done (the documented gap): such a world has no slow writers.
      const bool gap = !config.fs.leases && (w.act == Act::SlowStart || w.act == Act::Append);
      pick -= gap ? 0 : direct ? w.direct : w.cups;
      if (pick < 0) {
        a.act = w.act;
        break;
      }
    }
    plan.push_back(a);
  }
  return plan;
}

std::string Describe(const Action& a) {
  static const char* const kNames[] = {
      "druvo's loop goes round", "a producer writes a receipt", "a slow writer begins",
      "a slow writer writes on", "a producer writes a temporary name and renames it",
      "a producer writes the same ticket again", "a producer rewrites a file in place",
      "a producer stamps a file's time", "a producer appends to a file it had closed",
      "a burst of 1,000 files", "someone removes a file", "a file vanishes as druvo reaches it",
      "a file becomes unreadable", "a file becomes undeletable", "druvo is killed (kill -9)",
      "druvo is told to stop (SIGTERM)", "druvo is paused (SIGSTOP), time jumps",
      "druvo is restarted", "the printer runs out of paper", "the printer's cover is opened",
      "FEED is held", "the printer is back (paper, cover, FEED)", "the printer loses power",
      "the printer is switched on", "the network resets the connection",
      "the connection goes half-open", "another program clears the printer's buffer",
      "the printer refuses connections", "cupsd is killed (kill -9)", "cupsd restarts",
      "the queue is stopped", "the queue is started", "cupsd answers slowly",
      "an administrator cancels a job", "another program prints", "the state disk is full",
      "the state file is damaged on disk", "a fault clears"};
  return kNames[static_cast<int>(a.act)];
}

}  // namespace sim
}  // namespace druvo
