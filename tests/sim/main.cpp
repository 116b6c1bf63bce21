// druvo-sim: the real engine against a simulated world, one seed a world.
//   druvo-sim --seed N [--steps M] [--fault NAME]     one world, replayed bit for bit
//   druvo-sim --seeds K [--first F] [--steps M] [--jobs J] [--fault NAME]
//   druvo-sim --find-faults [--seeds K] [--steps M]   each reintroduced fault must be found
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/sim/sim.h"

namespace {

using druvo::sim::Action;
using druvo::sim::Outcome;

struct Args {
  std::uint64_t seed = 1;
  bool one = false;
  std::uint64_t seeds = 0;
  std::uint64_t first = 1;
  std::size_t steps = 20000;
  int jobs = 2;
  std::string fault;
  bool findFaults = false;
  int mode = -1;
};

// What kind of violation: a shrunk run must keep the kind.
std::string KindOf(const std::string& violation) {
  for (const char* kind : {"whole on paper", "deleted a file holding", "still waits", "started remembering",
                           "while its writer", "claim", "counted"})
    if (violation.find(kind) != std::string::npos) return kind;
  return violation;
}

std::string Replay(const Args& a, std::uint64_t seed) {
  static const char* const kModes[] = {"accepted", "printed", "direct", "confirm"};
  return "druvo-sim --seed " + std::to_string(seed) + " --steps " + std::to_string(a.steps) +
         (a.mode >= 0 ? std::string(" --mode ") + kModes[a.mode] : std::string()) +
         (a.fault.empty() ? std::string() : " --fault " + a.fault);
}

// Fewer events, the same kind of violation: chunks of the plan are left out
// while the run still fails so.
std::vector<Action> Shrink(std::uint64_t seed, std::vector<Action> plan, const std::string& kind,
                           Outcome* last) {
  // A budget of steps, not of time: the same shrink on every machine.
  std::size_t budget = 1000000;
  const auto more = [&] { return budget >= plan.size(); };
  for (std::size_t chunk = plan.size() / 2; chunk >= 1 && more(); chunk /= 2) {
    for (std::size_t at = 0; at < plan.size() && more();) {
      std::vector<Action> fewer(plan.begin(), plan.begin() + static_cast<long>(at));
      fewer.insert(fewer.end(), plan.begin() + static_cast<long>(std::min(plan.size(), at + chunk)), plan.end());
      budget -= fewer.size();
      const Outcome o = druvo::sim::Run(seed, fewer);
      if (o.failed && KindOf(o.violation) == kind) {
        fewer.resize(std::min(fewer.size(), o.step));
        plan.swap(fewer);
        *last = o;
      } else {
        at += chunk;
      }
    }
  }
  return plan;
}

void Report(const Args& a, std::uint64_t seed, const Outcome& o) {
  std::printf("seed %llu FAILED at step %zu: %s\nworld: %s\nwhat led to it:\n%s",
              static_cast<unsigned long long>(seed), o.step, o.violation.c_str(),
              druvo::sim::Config::Of(seed).Name().c_str(), o.trace.c_str());
  std::vector<Action> plan = druvo::sim::Plan(seed, a.steps);
  plan.resize(std::min(plan.size(), o.step));
  Outcome shrunk = o;
  plan = Shrink(seed, plan, KindOf(o.violation), &shrunk);
  std::printf("shrunk to %zu steps (%s):\n", plan.size(), shrunk.violation.c_str());
  std::size_t turns = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].act == druvo::sim::Act::Turn) {
      ++turns;
      continue;
    }
    if (turns != 0) std::printf("    (%zu turns of druvo's loop)\n", turns);
    turns = 0;
    std::printf("  step %zu: %s\n", i + 1, druvo::sim::Describe(plan[i]).c_str());
  }
  std::printf("the shrunk run's last events:\n%sreplay: %s\n", shrunk.trace.c_str(), Replay(a, seed).c_str());
}

int OneSeed(const Args& a) {
  const Outcome o = druvo::sim::Run(a.seed, druvo::sim::Plan(a.seed, a.steps));
  if (o.failed) {
    Report(a, a.seed, o);
    return 1;
  }
  std::printf("seed %llu ok: %s\n", static_cast<unsigned long long>(a.seed), o.summary.c_str());
  return 0;
}

// Runs seeds first, first+1, ... in jobs processes; each line of output is
// "seed<TAB>0|1<TAB>text". A worker stops at its first failure.
// Seeds in skip are left out.
std::map<std::uint64_t, std::pair<bool, std::string>> RunSeeds(
    const Args& a, std::uint64_t count, bool stopAtFailure,
    const std::map<std::uint64_t, std::pair<bool, std::string>>* skip = nullptr) {
  std::map<std::uint64_t, std::pair<bool, std::string>> results;
  std::vector<std::pair<pid_t, FILE*>> workers;
  for (int j = 0; j < a.jobs; ++j) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(2);
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      FILE* out = fdopen(fds[1], "w");
      for (std::uint64_t i = static_cast<std::uint64_t>(j); i < count; i += static_cast<std::uint64_t>(a.jobs)) {
        const std::uint64_t seed = a.first + i;
        if (skip != nullptr && skip->count(seed) != 0) continue;
        const Outcome o = druvo::sim::Run(seed, druvo::sim::Plan(seed, a.steps));
        std::fprintf(out, "%llu\t%d\t%s\n", static_cast<unsigned long long>(seed), o.failed ? 1 : 0,
                     o.failed ? o.violation.c_str() : o.summary.c_str());
        std::fflush(out);
        if (o.failed && stopAtFailure) break;
      }
      std::fclose(out);
      _exit(0);
    }
    close(fds[1]);
    workers.push_back({pid, fdopen(fds[0], "r")});
  }
  char line[4096];
  for (auto& [pid, in] : workers) {
    while (std::fgets(line, sizeof line, in) != nullptr) {
      char* tab = std::strchr(line, '\t');
      if (tab == nullptr || tab[1] == '\0') continue;
      const std::uint64_t seed = std::strtoull(line, nullptr, 10);
      std::string text = tab + 3;
      if (!text.empty() && text.back() == '\n') text.pop_back();
      results[seed] = {tab[1] == '1', text};
    }
    std::fclose(in);
    waitpid(pid, nullptr, 0);
  }
  return results;
}

int ManySeeds(const Args& a) {
  const auto start = std::chrono::steady_clock::now();
  const auto results = RunSeeds(a, a.seeds, true);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto& [seed, r] : results) {
    if (r.first) {
      const Outcome o = druvo::sim::Run(seed, druvo::sim::Plan(seed, a.steps));
      Report(a, seed, o);
      return 1;
    }
    std::printf("seed %llu ok: %s\n", static_cast<unsigned long long>(seed), r.second.c_str());
  }
  const double steps = static_cast<double>(a.seeds) * static_cast<double>(a.steps);
  std::printf("%llu seeds, %.0f steps, all invariants held (%.1f s, %.0f steps/s)\n",
              static_cast<unsigned long long>(a.seeds), steps, seconds, steps / seconds);
  return 0;
}

// A fault counts as found by a seed whose world holds every invariant
// without it and breaks one with it: a seed that fails anyway (the modes
// still being sorted out) proves nothing.
int FindFaults(Args a) {
  druvo::sim::SetFault(druvo::Fault::None);
  const auto baseline = RunSeeds(a, a.seeds, false);
  std::size_t clean = 0;
  std::map<std::uint64_t, std::pair<bool, std::string>> dirty;
  for (const auto& [seed, r] : baseline) {
    clean += r.first ? 0 : 1;
    if (r.first) dirty.insert({seed, r});
  }
  std::printf("without a fault: %zu of %llu seeds hold every invariant\n", clean,
              static_cast<unsigned long long>(a.seeds));
  int missed = 0;
  for (const std::string& name : druvo::sim::FaultNames()) {
    druvo::sim::SetFault(druvo::sim::FaultNamed(name));
    a.fault = name;
    // Each worker stops at its first clean seed that breaks.
    const auto results = RunSeeds(a, a.seeds, true, &dirty);
    auto found = std::find_if(results.begin(), results.end(),
                              [&](const auto& r) { return r.second.first; });
    if (found == results.end()) {
      ++missed;
      std::printf("fault %s: NOT found in %llu seeds\n", name.c_str(),
                  static_cast<unsigned long long>(a.seeds));
    } else {
      std::printf("fault %s: found by seed %llu: %s\n", name.c_str(),
                  static_cast<unsigned long long>(found->first), found->second.second.c_str());
    }
  }
  druvo::sim::SetFault(druvo::Fault::None);
  std::printf("%zu of %zu reintroduced faults found\n",
              druvo::sim::FaultNames().size() - static_cast<std::size_t>(missed),
              druvo::sim::FaultNames().size());
  return missed == 0 ? 0 : 1;
}

bool Parse(int argc, char** argv, Args* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--seed" && more) {
      a->one = true;
      a->seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seeds" && more) {
      a->seeds = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--first" && more) {
      a->first = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--steps" && more) {
      a->steps = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--jobs" && more) {
      a->jobs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--fault" && more) {
      a->fault = argv[++i];
    } else if (arg == "--mode" && more) {
      static const char* const kModes[] = {"accepted", "printed", "direct", "confirm"};
      const std::string mode = argv[++i];
      a->mode = -2;
      for (int m = 0; m < 4; ++m)
        if (mode == kModes[m]) a->mode = m;
      if (a->mode == -2) return false;
      druvo::sim::Config::OnlyMode(a->mode);
    } else if (arg == "--find-faults") {
      a->findFaults = true;
    } else {
      return false;
    }
  }
  return a->one || a->seeds > 0 || a->findFaults;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  a.jobs = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  if (!Parse(argc, argv, &a)) {
    std::fprintf(stderr,
                 "usage: druvo-sim --seed N [--steps M] [--fault NAME] [--mode accepted|printed|direct|confirm]\n"
                 "       druvo-sim --seeds K [--first F] [--steps M] [--jobs J] [--fault NAME]\n"
                 "       druvo-sim --find-faults [--seeds K] [--steps M]\n");
    return 2;
  }
  if (!a.fault.empty()) {
    const druvo::Fault fault = druvo::sim::FaultNamed(a.fault);
#ifndef DRUVO_SIM_FAULTS
    std::fprintf(stderr, "druvo-sim: this build has no faults to bring back (-DDRUVO_SIM_FAULTS=ON)\n");
    return 2;
#endif
    if (fault == druvo::Fault::None) {
      std::fprintf(stderr, "druvo-sim: no fault \"%s\"; there are:", a.fault.c_str());
      for (const std::string& n : druvo::sim::FaultNames()) std::fprintf(stderr, " %s", n.c_str());
      std::fprintf(stderr, "\n");
      return 2;
    }
    druvo::sim::SetFault(fault);
  }
  if (a.findFaults) {
    if (a.seeds == 0) a.seeds = 50;
    return FindFaults(a);
  }
  return a.one ? OneSeed(a) : ManySeeds(a);
}
