// Micro-benchmarks of the hot path: the scan, the sort and a whole cycle
// over many waiting files while the printer is missing (every cycle scans,
// sorts and fails on the first file).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <vector>

#include "fakes.h"
#include "platform/posix/posix_files.h"
#include "spool/spool_cycle.h"

namespace druvo {
namespace {

using namespace druvo::testing;

void Fill(FakeFileSystem& files, int count) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < count; ++i) {
    files.Add("/in/receipt-" + std::to_string(i) + ".prn", "x", rng() % 1000000 + 1);
  }
}

void BM_SortJobs(benchmark::State& state) {
  RecordList list = ListCreate();
  std::mt19937_64 rng(7);
  for (auto _ : state) {
    state.PauseTiming();
    ListClear(list);
    for (int i = 0; i < state.range(0); ++i) {
      AppendJob(list, "/in/", ("r" + std::to_string(i)).c_str(), rng() % 1000000, 1);
    }
    state.ResumeTiming();
    SortJobsByWriteTime(list);
  }
  ListDestroy(&list);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SortJobs)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

// Cycles over the files of `files` while the printer is missing.
void RunCyclesPrinterMissing(benchmark::State& state, FileSystem& files,
                             const std::string& pattern) {
  SpoolSettings settings = SettingsFor(pattern);
  RecordList list = ListCreate();
  FakeSpooler spooler;
  spooler.failAt = "open";
  FakeStatus status;
  FakeTimer timer;
  EngineOptions options;
  options.failurePauseMs = 0;
  SpoolEngine engine(settings, list, SpoolPorts{files, spooler, spooler, status, timer}, options);
  for (auto _ : state) {
    engine.RunSpoolCycle();
    spooler.calls.clear();
    status.errors.clear();
    status.states.clear();
    timer.events.clear();
  }
  ListDestroy(&list);
  state.SetComplexityN(state.range(0));
}

void BM_CycleWithPrinterMissing(benchmark::State& state) {
  FakeFileSystem files;
  Fill(files, static_cast<int>(state.range(0)));
  RunCyclesPrinterMissing(state, files, "/in/*.*");
}
BENCHMARK(BM_CycleWithPrinterMissing)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// The same on a real folder: readdir, one fstatat per entry, the pattern
// match, the record copies, the sort, and the failed open of the printer.
void BM_CycleRealFolderPrinterMissing(benchmark::State& state) {
  char tmpl[] = "/tmp/druvo-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    state.SkipWithError("mkdtemp");
    return;
  }
  const std::string dir = tmpl;
  for (int i = 0; i < state.range(0); ++i) {
    std::ofstream(dir + "/receipt-" + std::to_string(i) + ".prn") << "x";
  }
  PosixFileSystem files;
  // Watched: change notifications cover the folder, so unchanged entries
  // keep what the first scan learnt and cost no stat.
  files.TrustCache(state.range(1) != 0);
  RunCyclesPrinterMissing(state, files, dir + "/*.*");
  (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_CycleRealFolderPrinterMissing)
    ->ArgsProduct({{1000, 10000, 100000}, {0, 1}})
    ->ArgNames({"files", "watched"})
    ->Unit(benchmark::kMillisecond);

// The delete after printing, on a real folder: a plain unlink (arg 0), or
// the claim, the check of the bytes and the unlink (arg 1), per 10,000
// printed receipts of 600 bytes.
void BM_DeletePrintedRealFolder(benchmark::State& state) {
  char tmpl[] = "/tmp/druvo-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    state.SkipWithError("mkdtemp");
    return;
  }
  const std::string dir = tmpl;
  const std::string body(600, 'r');
  PosixFileSystem files;
  std::vector<std::string> paths;
  std::vector<FileIdentity> read;
  for (auto _ : state) {
    state.PauseTiming();
    paths.clear();
    read.clear();
    for (int i = 0; i < 10000; ++i) {
      paths.push_back(dir + "/receipt-" + std::to_string(i) + ".prn");
      std::ofstream(paths.back()) << body << i;
      std::unique_ptr<InputFile> file;
      std::string error;
      files.Open(paths.back().c_str(), &file, &error);
      read.push_back(file->Identity());
      files.DigestOf(paths.back().c_str(), &read.back().content);
    }
    state.ResumeTiming();
    std::string error;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (state.range(0) == 0)
        benchmark::DoNotOptimize(files.Delete(paths[i].c_str()));
      else
        benchmark::DoNotOptimize(files.DeleteIfSame(paths[i].c_str(), read[i], &error));
    }
  }
  (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_DeletePrintedRealFolder)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("checked")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace druvo

BENCHMARK_MAIN();
