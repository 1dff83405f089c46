// The cost of recording into the counters, against baselines measured in the
// same run: one relaxed fetch_add on a shared atomic, a mutex-protected
// count/sum/min/max, and two reads of the monotonic clock. After the
// benchmarks it prints each ratio (medians over repetitions when asked for
// with --benchmark_repetitions) and the counters' memory.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../framework/MediaSpeedCounter.h"
#include "../framework/TimeCounter.h"

namespace {

std::atomic<std::uint64_t> g_shared{0};
CTimeCounter g_timeCounter;
CMediaSpeedCounter g_speedCounter(nullptr);

// The plain alternative: one lock around the four figures.
struct MutexCounter {
  std::mutex mutex;
  std::uint64_t count = 0, total = 0, min = UINT64_MAX, max = 0;
  void Add(std::uint64_t v) {
    std::lock_guard<std::mutex> guard(mutex);
    ++count;
    total += v;
    min = std::min(min, v);
    max = std::max(max, v);
  }
} g_mutexCounter;

// Sample values cycle through a small spread, as real latencies do.
inline long long SampleValue(std::uint64_t i) {
  return 500 + static_cast<long long>(i & 1023);
}

void BM_SharedFetchAdd(benchmark::State& state) {
  for (auto _ : state) g_shared.fetch_add(1, std::memory_order_relaxed);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedFetchAdd)->UseRealTime();

void BM_AddSample(benchmark::State& state) {
  std::uint64_t i = 0;
  for (auto _ : state) g_timeCounter.AddSample(CTimeInterval(SampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSample)->UseRealTime()->Threads(1)->Threads(2);

void BM_MutexCounter(benchmark::State& state) {
  std::uint64_t i = 0;
  for (auto _ : state) g_mutexCounter.Add(static_cast<std::uint64_t>(SampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexCounter)->UseRealTime()->Threads(1)->Threads(2);

void BM_AddTransfer(benchmark::State& state) {
  std::uint64_t i = 0;
  for (auto _ : state) g_speedCounter.AddTransfer(4096, CTimeInterval(SampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddTransfer)->UseRealTime()->Threads(1)->Threads(2);

void BM_TwoClockReads(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::chrono::steady_clock::now());
    benchmark::DoNotOptimize(std::chrono::steady_clock::now());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoClockReads)->UseRealTime();

void BM_ScopedTimeSample(benchmark::State& state) {
  for (auto _ : state) {
    CScopedTimeSample sample(&g_timeCounter);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScopedTimeSample)->UseRealTime();

// Keeps every run's rate (items per second) by benchmark and thread count,
// and the median that repetitions report, while printing as usual.
class RateCollector : public benchmark::ConsoleReporter {
 public:
  RateCollector() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      const std::string key = run.run_name.function_name + "/" + std::to_string(run.threads);
      if (run.run_type == Run::RT_Iteration) {
        m_rates[key].push_back(it->second.value);
      } else if (run.aggregate_name == "median") {
        m_medians[key] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median rate of a benchmark, or 0 when it did not run.
  double Rate(const std::string& name, int threads) const {
    const std::string key = name + "/" + std::to_string(threads);
    auto median = m_medians.find(key);
    if (median != m_medians.end()) return median->second;
    auto it = m_rates.find(key);
    if (it == m_rates.end() || it->second.empty()) return 0;
    std::vector<double> rates = it->second;
    std::sort(rates.begin(), rates.end());
    const std::size_t n = rates.size();
    return n % 2 == 1 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> m_rates;
  std::map<std::string, double> m_medians;
};

void PrintRatio(const char* what, double value, const char* target) {
  if (value > 0) {
    std::printf("  %-58s %6.2f   (target %s)\n", what, value, target);
  } else {
    std::printf("  %-58s    n/a   (not run)\n", what);
  }
}

double Ratio(double a, double b) {
  return a > 0 && b > 0 ? a / b : 0;
}

void PrintRatios(const RateCollector& rates) {
  const double fetchAdd = rates.Rate("BM_SharedFetchAdd", 1);
  const double add1 = rates.Rate("BM_AddSample", 1);
  const double add2 = rates.Rate("BM_AddSample", 2);
  const double mutex2 = rates.Rate("BM_MutexCounter", 2);
  const double clocks = rates.Rate("BM_TwoClockReads", 1);
  const double scoped = rates.Rate("BM_ScopedTimeSample", 1);
  std::printf("\nRatios (medians of each benchmark's runs):\n");
  PrintRatio("AddSample time / shared fetch_add time, 1 thread", Ratio(fetchAdd, add1), "<= 1.5");
  PrintRatio("AddSample rate, 2 threads / 1 thread", Ratio(add2, add1), ">= 1.5");
  PrintRatio("AddSample rate / mutex counter rate, 2 threads", Ratio(add2, mutex2), ">= 3");
  const double parts = clocks > 0 && add1 > 0 ? 1 / (1 / clocks + 1 / add1) : 0;
  PrintRatio("scoped timer time / (two clock reads + AddSample) time", Ratio(parts, scoped),
             "about 1");
  PrintRatio("AddTransfer time / shared fetch_add time, 1 thread",
             Ratio(fetchAdd, rates.Rate("BM_AddTransfer", 1)), "-");
  PrintRatio("AddTransfer rate, 2 threads / 1 thread",
             Ratio(rates.Rate("BM_AddTransfer", 2), rates.Rate("BM_AddTransfer", 1)), "-");
}

// Heap in use, from the allocator's own accounting.
long long HeapInUse() {
  return static_cast<long long>(mallinfo2().uordblks);
}

// Heap taken by a counter, by a thread's first record into it (its slot and
// its entry in the thread's table), and what is left once the thread ends.
void PrintMemory() {
  std::mutex mutex;
  std::condition_variable cv;
  int step = 0;
  auto waitFor = [&](int wanted) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return step >= wanted; });
  };
  auto advance = [&](int to) {
    std::lock_guard<std::mutex> lock(mutex);
    step = to;
    cv.notify_all();
  };

  CTimeCounter warmup;  // the thread's table exists before the measured slot
  const long long before = HeapInUse();
  auto* counter = new CTimeCounter;
  const long long withCounter = HeapInUse();
  long long withSlot = 0;
  std::thread recorder([&] {
    warmup.AddSample(CTimeInterval(1));
    advance(1);
    waitFor(2);
    counter->AddSample(CTimeInterval(1));
    advance(3);
    waitFor(4);
  });
  waitFor(1);
  const long long withTable = HeapInUse();
  advance(2);
  waitFor(3);
  withSlot = HeapInUse();
  advance(4);
  recorder.join();
  const long long afterExit = HeapInUse();
  delete counter;

  std::printf("\nMemory (heap bytes):\n");
  std::printf("  %-58s %6lld   (limit 16384)\n", "one CTimeCounter", withCounter - before);
  std::printf("  %-58s %6lld   (limit 4096)\n", "one thread's first record into it",
              withSlot - withTable);
  std::printf("  %-58s %6lld   (<= 0: all given back)\n", "left by that thread after it ended",
              afterExit - withCounter);
  std::printf("  %-58s %6zu\n", "sizeof(CMediaSpeedCounter)", sizeof(CMediaSpeedCounter));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateCollector rates;
  benchmark::RunSpecifiedBenchmarks(&rates);
  PrintRatios(rates);
  PrintMemory();
  benchmark::Shutdown();
  return 0;
}
