// Benchmarks of a full host session at the largest sizes the formats allow,
// of each of its stages alone, and, in the same run, of the work each stage's
// formats require (format_work.h) and of a memcpy of the bytes it touches.
// After the runs it prints one line per stage and the session's summary:
//   session: R x format work, M x memcpy, scaling exponent E
// The session is timed at 250, 500, 1000 and 2000 variables; E is the slope
// of log(time) against log(variables), fitted by least squares.
//
// Every session and stage that runs a fixed number of times is run once
// untimed before its timed runs. The format-work and memcpy loops run
// thousands of times, so the first touch of their memory (a page fault per
// fresh page, which costs about 10 us on a virtual machine) vanishes in their
// average; the warm-up run lets the library's few runs be set against them in
// the same steady state instead of charging one run's page faults to them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/dfs/dfs.h"
#include "flash/efs/EFS.h"
#include "flash_counter.h"
#include "format_work.h"
#include "session_image.h"
#include "storage/ToolsFileTable.h"
#include "storagelib/kymfs.h"
#include "support/host_config.h"
#include "tarnstoragelib.h"

namespace tarn_bench {
namespace {

constexpr uint32_t kFullSize = 2000;
const uint32_t kScaling[] = {250, 500, 1000, 2000};
const char* const kDumps[] = {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt",
                              "format_qel.txt", "format_orvan.txt", "format_currents.txt"};

const SessionImage& imageOf(uint32_t variables) {
  static std::map<uint32_t, std::unique_ptr<SessionImage>> images;
  auto& image = images[variables];
  if (!image) image.reset(new SessionImage(makeSessionImage(variables)));
  return *image;
}

// The regions a session changes in place, fresh from the image each time.
struct Regions {
  Bytes defaults, qelc, ftbl, mfs, efs;
  ModQelStorageLibConfig config = {};
  void reset(const SessionImage& image, bool withMfs = true, bool withEfs = true) {
    defaults = image.defaults;
    qelc = image.qelc;
    ftbl = image.ftbl;
    mfs = withMfs ? image.mfs : Bytes();
    efs = withEfs ? image.efs : Bytes();
    config = tarn_test::host_config(defaults, qelc, ftbl, image.sku, mfs, efs);
  }
};
Regions regions;

void removeDumps() {
  for (const char* name : kDumps) unlink(name);
}

void fail(benchmark::State& state, const char* what) {
  state.SkipWithError(what);
}

bool start(benchmark::State& state, const SessionImage& image, bool withMfs = true, bool withEfs = true) {
  regions.reset(image, withMfs, withEfs);
  if (kyMfsTarnInit(regions.config, nullptr)) return true;
  fail(state, "kyMfsTarnInit failed");
  return false;
}

// The host reads every variable, resizes every tenth and fills what it grew.
bool hostWork(const SessionImage& image) {
  bool ok = true;
  for (const Variable& v : image.variables) {
    U8* data = nullptr;
    U32 size = 0, maxSize = 0;
    bool updatable = false;
    ok = kyMfsNvarGet(v.path.c_str(), &data, &size, FcsFileNameCurrentsCfg, &updatable, &maxSize) && ok;
    benchmark::DoNotOptimize(data);
  }
  for (const Variable& v : image.variables) {
    if (!v.resized) continue;
    U8* data = nullptr;
    ok = kyMfsNvarResize(v.path.c_str(), &data, v.newSize) && ok;
    if (data != nullptr) std::memset(data, 0x5A, v.newSize);
  }
  return ok;
}

// Runs `f` with the clock stopped; a warm-up run has no clock.
struct Clock {
  benchmark::State* state;
  template <typename F>
  void untimed(F f) const {
    if (state != nullptr) state->PauseTiming();
    f();
    if (state != nullptr) state->ResumeTiming();
  }
};

// One untimed run of `once`, then the timed ones.
template <typename Once>
void warmThenTime(benchmark::State& state, Once once) {
  once(Clock{nullptr});
  for (auto _ : state) once(Clock{&state});
}

void finish() {
  kyMfsFreeFcsTable(s_builtQelCfgTable);
  kyMfsCleanStaticTables();
  dfs_terminate();
  EFS_term_tools();
}

// ---------------------------------------------------------------------------
// The session and its stages
// ---------------------------------------------------------------------------

ReclaimWork sessionReclaim, stageReclaim;

ReclaimWork reclaimSince(const FlashCounts& before, uint64_t requiredPages) {
  const FlashCounts after = flashCounts();
  const uint64_t programmed = after.pagesProgrammed - before.pagesProgrammed;
  ReclaimWork r;
  r.copiedPages = programmed > requiredPages ? programmed - requiredPages : 0;
  r.erasedBlocks = after.blocksErased - before.blocksErased;
  return r;
}

void Session(benchmark::State& state) {
  const SessionImage& image = imageOf(static_cast<uint32_t>(state.range(0)));
  warmThenTime(state, [&](Clock clock) {
    FlashCounts before;
    clock.untimed([&] {
      regions.reset(image);
      removeDumps();
      before = flashCounts();
    });
    const bool ok = kyMfsTarnInit(regions.config, nullptr) && hostWork(image) && kyMfsNvarTerm(true) &&
                    kyMfsNvarTerm(false);
    clock.untimed([&] {
      if (!ok) fail(state, "session failed");
      if (image.variables.size() == kFullSize) sessionReclaim = reclaimSince(before, 2 * writeBackPages(image));
      removeDumps();
    });
  });
}

void LoadTables(benchmark::State& state) {
  const SessionImage& image = imageOf(kFullSize);
  warmThenTime(state, [&](Clock clock) {
    clock.untimed([&] { regions.reset(image, false, false); });
    if (!kyMfsTarnInit(regions.config, nullptr)) fail(state, "kyMfsTarnInit failed");
  });
  finish();
}

void MfsMount(benchmark::State& state) {
  const SessionImage& image = imageOf(kFullSize);
  regions.reset(image);
  for (auto _ : state)
    if (dfs_init(regions.mfs.data(), static_cast<uint32_t>(regions.mfs.size())) != 0) fail(state, "dfs_init failed");
  dfs_terminate();
}

void EfsMount(benchmark::State& state) {
  const SessionImage& image = imageOf(kFullSize);
  regions.reset(image);
  if (load_file_table(reinterpret_cast<char*>(regions.ftbl.data()), image.sku,
                      static_cast<unsigned>(regions.ftbl.size())) != 0)
    fail(state, "load_file_table failed");
  for (auto _ : state)
    if (EFS_init_tools(regions.efs.data()) != 0) fail(state, "EFS_init_tools failed");
  EFS_term_tools();
}

// Runs `timed` once per iteration on a session started on the full-size
// image; `prepare` (not timed) takes the session to the point the stage
// starts from. `what` names the stage when it fails.
template <typename Prepare, typename Timed>
void stageLoop(benchmark::State& state, const char* what, Prepare prepare, Timed timed) {
  const SessionImage& image = imageOf(kFullSize);
  warmThenTime(state, [&](Clock clock) {
    bool ready = false;
    clock.untimed([&] { ready = start(state, image) && prepare(image); });
    if (!ready || !timed(clock, image)) fail(state, what);
  });
  finish();
}

bool nothing(const SessionImage&) { return true; }
// The host's work done, and no rebuilt table left by an earlier run: a
// shutdown's rebuild finds none (the last one was kept as the overrides or
// released), so releasing one is no part of the stage.
bool hostWorkDone(const SessionImage& image) {
  kyMfsFreeFcsTable(s_builtQelCfgTable);
  return hostWork(image);
}
bool overridesRebuilt(const SessionImage& image) { return hostWork(image) && kyMfsBuildOverrides(); }

void VfsRefresh(benchmark::State& state) {
  // The current values as start-up builds them, before it refreshes them.
  auto fresh = [](const SessionImage&) {
    kyMfsFreeFcsTable(s_currentValuesTable);
    return kyMfsGenerateFcsCurrentsTable(s_orvanCfgTable, s_qelCfgTable, s_currentValuesTable);
  };
  stageLoop(state, "VFS refresh failed", fresh,
            [](Clock, const SessionImage&) { return kyMfsFillCurrentsTableFromVFS(s_orvanCfgTable); });
}

void NvarAccess(benchmark::State& state) {
  stageLoop(state, "get or resize failed", nothing,
            [](Clock, const SessionImage& image) { return hostWork(image); });
}

void Rebuild(benchmark::State& state) {
  stageLoop(state, "rebuilding the overrides failed", hostWorkDone,
            [](Clock, const SessionImage&) { return kyMfsBuildOverrides(); });
}

void WriteBack(benchmark::State& state) {
  stageLoop(state, "write-back failed", overridesRebuilt, [](Clock clock, const SessionImage& image) {
    const FlashCounts before = flashCounts();
    const bool ok = kyMfsWriteFcsToVfs(s_builtQelCfgTable);
    clock.untimed([&] { stageReclaim = reclaimSince(before, writeBackPages(image)); });
    return ok;
  });
}

void Serialise(benchmark::State& state) {
  stageLoop(state, "serialising failed", overridesRebuilt,
            [](Clock, const SessionImage&) { return kyMfsSerializeFcsTable(s_builtQelCfgTable); });
}

void Dumps(benchmark::State& state) {
  // The tables as a shutdown that keeps running leaves them, its own dumps
  // removed.
  auto keptRunning = [](const SessionImage& image) {
    const bool ok = hostWork(image) && kyMfsNvarTerm(true);
    removeDumps();
    return ok;
  };
  stageLoop(state, "dumps failed", keptRunning, [](Clock clock, const SessionImage&) {
    kyMfsDumpFcsTables(kDumps[0], kDumps[1], kDumps[2]);
    clock.untimed(removeDumps);
    return true;
  });
}

// ---------------------------------------------------------------------------
// Format work and memcpy baselines
// ---------------------------------------------------------------------------

struct Stage {
  const char* name;
  void (*library)(benchmark::State&);
  void (*work)(const SessionImage&, Work&);
  bool setUp;  // each run starts a session first
};

void loadWork(const SessionImage& i, Work& w) { loadTablesWork(i, w); }
void stageWriteBack(const SessionImage& i, Work& w) { writeBackWork(i, stageReclaim, w); }

// The session: start-up, the host's work, a shutdown that keeps running
// (write-back, serialising, the current values again, the dumps) and one that
// ends (write-back and serialising again).
void sessionWork(const SessionImage& i, Work& w) {
  ReclaimWork half = sessionReclaim;
  half.copiedPages /= 2;
  half.erasedBlocks /= 2;
  loadTablesWork(i, w);
  mfsMountWork(i, w);
  efsMountWork(i, w);
  vfsRefreshWork(i, w);
  nvarAccessWork(i, w);
  for (int shutdown = 0; shutdown < 2; ++shutdown) {
    rebuildWork(i, w);
    writeBackWork(i, half, w);
    serialiseWork(i, w);
  }
  currentValuesWork(i, w);
  dumpWork(i, w);
}

const Stage kStages[] = {
    {"load tables", LoadTables, loadWork, true},
    {"MFS mount", MfsMount, mfsMountWork, false},
    {"EFS mount", EfsMount, efsMountWork, false},
    {"VFS refresh", VfsRefresh, vfsRefreshWork, true},
    {"NVAR access", NvarAccess, nvarAccessWork, true},
    {"rebuild overrides", Rebuild, rebuildWork, true},
    {"write-back", WriteBack, stageWriteBack, true},
    {"serialising", Serialise, serialiseWork, true},
    {"dumps", Dumps, dumpWork, true},
};

void FormatWork(benchmark::State& state, void (*work)(const SessionImage&, Work&)) {
  const SessionImage& image = imageOf(kFullSize);
  Work w;
  for (auto _ : state) {
    w = Work();
    work(image, w);
    benchmark::DoNotOptimize(w.sink);
  }
  removeDumps();
}

void Memcpy(benchmark::State& state, void (*work)(const SessionImage&, Work&)) {
  const SessionImage& image = imageOf(kFullSize);
  Work w;
  work(image, w);
  removeDumps();
  Bytes from(w.bytes, 0xA5), to(w.bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.bytes));
}

// ---------------------------------------------------------------------------
// Summary
// ---------------------------------------------------------------------------

class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.iterations > 0 && !r.error_occurred)
        seconds_[r.run_name.function_name] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n");
    for (const Stage& s : kStages) line(s.name, name("stage/", s.name), name("format/", s.name), name("memcpy/", s.name));
    std::vector<double> x, y;
    for (uint32_t n : kScaling) {
      const double t = get("session/" + std::to_string(n));
      if (t > 0) x.push_back(std::log(n)), y.push_back(std::log(t));
    }
    double exponent = NAN;
    if (x.size() >= 2) {
      double mx = 0, my = 0, sxy = 0, sxx = 0;
      for (size_t i = 0; i < x.size(); ++i) mx += x[i] / x.size(), my += y[i] / y.size();
      for (size_t i = 0; i < x.size(); ++i) sxy += (x[i] - mx) * (y[i] - my), sxx += (x[i] - mx) * (x[i] - mx);
      exponent = sxy / sxx;
    }
    for (uint32_t n : kScaling)
      std::printf("session at %4u variables: %9.3f ms\n", n, 1e3 * get("session/" + std::to_string(n)));
    const double session = get("session/" + std::to_string(kFullSize));
    std::printf("session: %.2f x format work, %.2f x memcpy, scaling exponent %.2f\n",
                session / get("format/session"), session / get("memcpy/session"), exponent);
  }

  static std::string name(const char* kind, const char* stage) { return std::string(kind) + stage; }

 private:
  double get(const std::string& n) const {
    const auto found = seconds_.find(n);
    return found != seconds_.end() ? found->second : NAN;
  }
  void line(const char* stage, const std::string& library, const std::string& format, const std::string& copy) const {
    const double t = get(library);
    std::printf("%-18s %9.3f ms, %6.2f x format work, %8.2f x memcpy\n", stage, 1e3 * t, t / get(format),
                t / get(copy));
  }
  std::map<std::string, double> seconds_;
};

void registerAll() {
  for (uint32_t n : kScaling)
    benchmark::RegisterBenchmark(("session/" + std::to_string(n)).c_str(), Session)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(n < kFullSize ? 6 : 3);
  for (const Stage& s : kStages) {
    // A stage that needs a session started around it runs a fixed number of
    // times: the start-up itself is not timed but takes its time.
    auto* stage = benchmark::RegisterBenchmark(Summary::name("stage/", s.name).c_str(), s.library)
                      ->Unit(benchmark::kMillisecond);
    if (s.setUp)
      stage->Iterations(8);
    else
      stage->MinTime(0.3);
    benchmark::RegisterBenchmark(Summary::name("format/", s.name).c_str(), FormatWork, s.work)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.2);
    benchmark::RegisterBenchmark(Summary::name("memcpy/", s.name).c_str(), Memcpy, s.work)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.2);
  }
  benchmark::RegisterBenchmark("format/session", FormatWork, sessionWork)->Unit(benchmark::kMillisecond)->MinTime(0.3);
  benchmark::RegisterBenchmark("memcpy/session", Memcpy, sessionWork)->Unit(benchmark::kMillisecond)->MinTime(0.2);
}

}  // namespace
}  // namespace tarn_bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tarn_bench::registerAll();
  tarn_bench::Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  benchmark::Shutdown();
  return 0;
}
