// The statistics logger and the counter set: Instance() after creation,
// GetCounter() of a registered name, Log() over many due counters, and the
// registration of a new name while a pass over 1,000,000 counters runs, or
// while exporters scrape 100,000.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/perf/PerfCntLogger.h>
#include "BenchRatios.h"
#include "DiscardingSink.h"

namespace {

// ---- Instance() ------------------------------------------------------------

struct Widget {
  Widget() : value(1) {}
  int value;
};

__attribute__((noinline)) Widget* LocalStatic() {
  static Widget widget;  // guarded initialisation, like Instance()'s statics
  return &widget;
}

// Both are called through a pointer the compiler cannot see through, so that
// neither call is hoisted out of the loop (LocalStatic() is visibly free of
// side effects) and both pay the same call: the ratio compares the bodies.
Widget* (*volatile g_localStatic)() = &LocalStatic;
PerfCntLogger* (*volatile g_instance)() = &PerfCntLogger::Instance;

void BM_LocalStatic(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g_localStatic());
}
BENCHMARK(BM_LocalStatic);

void BM_Instance(benchmark::State& state) {
  PerfCntLogger::Instance();
  for (auto _ : state) benchmark::DoNotOptimize(g_instance());
}
BENCHMARK(BM_Instance);

// ---- GetCounter() among 1,000 names ----------------------------------------

constexpr int kNames = 1000;

std::vector<std::string> MakeNames() {
  std::vector<std::string> names;
  for (int i = 0; i < kNames; ++i) names.push_back("Service.Operation." + std::to_string(i * 7919));
  return names;
}
const std::vector<std::string> g_names = MakeNames();

CPerfCounters& SharedSet() {
  static CPerfCounters* set = [] {
    auto* s = new CPerfCounters();
    for (const auto& n : g_names) s->GetCounter(n);
    return s;
  }();
  return *set;
}

struct MutexMapBaseline {
  std::mutex mutex;
  std::map<std::string, boost::shared_ptr<CTimeCounter>> map;
  boost::shared_ptr<CTimeCounter>& Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = map.find(name);
    if (it == map.end())
      it = map.emplace(name, boost::shared_ptr<CTimeCounter>(new CTimeCounter())).first;
    return it->second;
  }
};

MutexMapBaseline& SharedBaseline() {
  static MutexMapBaseline* b = [] {
    auto* m = new MutexMapBaseline();
    for (const auto& n : g_names) m->Get(n);
    return m;
  }();
  return *b;
}

void BM_GetCounter(benchmark::State& state) {
  CPerfCounters& set = SharedSet();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 37;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&set.GetCounter(g_names[i % kNames]));
    i += 13;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetCounter)->Threads(1)->Threads(2)->UseRealTime();

void BM_MutexMapLookup(benchmark::State& state) {
  MutexMapBaseline& baseline = SharedBaseline();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 37;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&baseline.Get(g_names[i % kNames]));
    i += 13;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexMapLookup)->Threads(1)->Threads(2)->UseRealTime();

// ---- Log() over N due counters ------------------------------------------------

void BM_Log(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  CPerfCounters set;
  std::vector<CTimeCounter*> counters;
  for (int i = 0; i < n; ++i)
    counters.push_back(set.GetCounter("Counter." + std::to_string(i)).get());
  long long sample = 1;
  for (auto _ : state) {
    state.PauseTiming();
    for (CTimeCounter* c : counters) c->AddSample(CTimeInterval(++sample));
    state.ResumeTiming();
    set.Log();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Log)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// ---- Registering a new name while a pass runs ---------------------------------

// A set of `n` counters, each with one sample from a thread that has ended
// (so that no recording slot stays allocated: about 4.3 KiB per counter).
// One set is kept at a time: a million counters hold some 4 GiB, and a
// process that large makes the kernel's page handling, not the set, the
// slowest part of a registration (worst waits of 40 to 60 ms at 100,000
// counters with the million-counter set still alive, against under 1 ms
// without it).
CPerfCounters& BigSet(int n) {
  static std::map<int, std::unique_ptr<CPerfCounters>> sets;
  std::unique_ptr<CPerfCounters>& set = sets[n];
  if (set == nullptr) {
    for (auto& other : sets) other.second.reset();
    set.reset(new CPerfCounters());
    CPerfCounters* filling = set.get();
    std::thread([n, filling] {
      for (int i = 0; i < n; ++i)
        filling->GetCounter("Big.Counter." + std::to_string(i))->AddSample(CTimeInterval(i));
    }).join();
  }
  return *set;
}

// Feeds every counter of `set` one more sample (from a thread that ends), so
// that the next pass finds them all due and formats every line.
void MakeAllDue(CPerfCounters& set) {
  CPerfCounters::TimeCounterList counters = set.ListTimeCounters();
  std::thread([&] {
    for (auto& entry : counters)
      if (entry.second) entry.second->AddSample(CTimeInterval(7));
  }).join();
}

// Each iteration: make every counter due, then register new names one at a
// time, 2 ms apart, timing each, until a pass over the whole set (started on
// another thread at the same moment) has ended; with state.range(1) == 2 the
// other thread scrapes instead (lists the counters and reads each, as an
// exporter does) ten times; with state.range(1) == 0 nothing else runs and
// 200 names are registered. The iteration's time is its slowest
// registration; the counters give the slowest, the 99th percentile, the mean
// and the pass time.
void BM_RegisterDuringPass(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool withPass = state.range(1) != 0;
  const bool scrape = state.range(1) == 2;
  CPerfCounters& set = BigSet(n);
  set.Log();  // the set's first pass copies every entry; time the steady state
  static int next = 0;
  double passSeconds = 0;
  std::vector<double> took;
  for (auto _ : state) {
    MakeAllDue(set);
    std::atomic<bool> passing{withPass};
    std::thread pass;
    if (withPass) {
      pass = std::thread([&] {
        const auto start = std::chrono::steady_clock::now();
        if (scrape) {
          for (int round = 0; round < 10; ++round) {
            for (const auto& entry : set.ListTimeCounters())
              if (entry.second) benchmark::DoNotOptimize(entry.second->GetSnapshot());
          }
        } else {
          set.Log();
        }
        passSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        passing.store(false);
      });
    }
    double iterationWorst = 0;
    for (int i = 0; withPass ? passing.load() : i < 200; ++i) {
      const std::string name = "New.Counter." + std::to_string(next++);
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(&set.GetCounter(name));
      took.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      iterationWorst = std::max(iterationWorst, took.back());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (pass.joinable()) pass.join();
    state.SetIterationTime(iterationWorst);
  }
  std::sort(took.begin(), took.end());
  double sum = 0;
  for (double t : took) sum += t;
  if (!took.empty()) {
    state.counters["worst_ms"] = took.back() * 1e3;
    state.counters["p99_ms"] = took[took.size() * 99 / 100] * 1e3;
    state.counters["mean_us"] = sum / static_cast<double>(took.size()) * 1e6;
  }
  state.counters["registrations"] = static_cast<double>(took.size());
  if (withPass) state.counters["pass_s"] = passSeconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RegisterDuringPass)
    ->Args({1000000, 0})
    ->Args({1000000, 1})
    ->Args({100000, 0})
    ->Args({100000, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return zrbench::RunWithRatios(
      argc, argv,
      {{"Instance() / function-local static", "BM_Instance", "BM_LocalStatic", "<= 1.5"},
       {"GetCounter 1 thread: mutex+map time / ours", "BM_MutexMapLookup/real_time/threads:1",
        "BM_GetCounter/real_time/threads:1", "> 1 (ours faster)"},
       {"GetCounter 2 threads: ours rate / mutex+map rate", "BM_GetCounter/real_time/threads:2",
        "BM_MutexMapLookup/real_time/threads:2", "> 1", true},
       {"GetCounter 2 threads / 1 thread rate", "BM_GetCounter/real_time/threads:2",
        "BM_GetCounter/real_time/threads:1", "~2 on 2 idle cores", true},
       {"Log() 100k / 10k counters", "BM_Log/100000", "BM_Log/10000", "<= 12"},
       {"Log() 10k / 1k counters", "BM_Log/10000", "BM_Log/1000", "~10"},
       {"slowest registration: during a 1M-counter pass / no pass",
        "BM_RegisterDuringPass/1000000/1/iterations:1/manual_time",
        "BM_RegisterDuringPass/1000000/0/iterations:1/manual_time", "small (worst_ms < 10)"},
       {"slowest registration: during 100k-counter scrapes / no scrape",
        "BM_RegisterDuringPass/100000/2/iterations:1/manual_time",
        "BM_RegisterDuringPass/100000/0/iterations:1/manual_time", "small (worst_ms < 10)"}});
}
