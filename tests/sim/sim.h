// One simulated world per seed: its make-up (which printer, which file
// system), the steps it takes, the druvo that runs in it, and the checks
// after every step.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "spool/dispatcher.h"
#include "spool/fault_switch.h"
#include "spool/spool_host.h"
#include "tests/sim/cupsd.h"
#include "tests/sim/printer.h"
#include "tests/sim/world.h"

namespace druvo::sim {

enum class Mode { CupsAccepted, CupsPrinted, Direct, DirectConfirm };

struct Config {
  Mode mode = Mode::DirectConfirm;
  FsOptions fs;
  PrinterKind printer;
  CupsKind cups;
  bool watch = true;  // inotify
  bool forceDelete = false;
  std::size_t sendBuffer = 16384;
  static Config Of(std::uint64_t seed);
  // Every seed in one mode (-1: the seed chooses).
  static void OnlyMode(int mode);
  std::string Name() const;
};

enum class Act {
  Turn,
  Receipt, SlowStart, SlowMore, TempRename, SameAgain, Rewrite, Stamp, Append, Burst, Remove,
  Vanish, Unreadable, Undeletable,
  Crash, Term, Pause, Restart,
  PaperOut, Cover, Feed, Resume, PowerCut, PowerOn, NetReset, HalfOpen, ClearBuffer, Refuse,
  CupsKill, CupsRestart, CupsHold, CupsRelease, CupsSlow, CupsCancel, CupsOther,
  DiskFull, DiskDamage, Heal,
};

struct Action {
  Act act = Act::Turn;
  std::uint64_t arg = 0;
};

std::vector<Action> Plan(std::uint64_t seed, std::size_t steps);
std::string Describe(const Action& a);

struct Outcome {
  bool failed = false;
  std::size_t step = 0;  // of the violation
  std::string violation;
  std::string trace;
  std::string summary;
};

// Runs the world of this seed through these actions, then lets it calm
// down and checks that everything owed came out.
Outcome Run(std::uint64_t seed, const std::vector<Action>& actions);

// The reintroduced faults by name, and the switch the engine reads.
Fault FaultNamed(const std::string& name);
std::vector<std::string> FaultNames();
void SetFault(Fault fault);
// What FreshSeed hands the engine: the seed's own numbers.
void SeedEntropy(std::uint64_t seed);

}  // namespace druvo::sim
