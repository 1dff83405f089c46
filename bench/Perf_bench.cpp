// The statistics logger and the counter set: Instance() after creation,
// GetCounter() of a registered name, and Log() over many due counters.

#include <benchmark/benchmark.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../perf/PerfCntLogger.h"
#include "BenchRatios.h"

namespace {

// A sink that formats nothing and writes nothing.
class DiscardingSink : public CLogWriterInterface {
 public:
  void WriteLog(int, const char*, int, int, int, const char*, ...) override {}
  void WriteRecord(int, const char*, int, const std::string&) override {}
  int GetLogLevel() override { return 0; }
};

struct Installed {
  Installed() { g_ptrLogWriter.reset(new DiscardingSink); }
} g_installSink;

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
       {"Log() 10k / 1k counters", "BM_Log/10000", "BM_Log/1000", "~10"}});
}
