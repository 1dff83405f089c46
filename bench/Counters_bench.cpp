// The cost of recording into the counters, against baselines measured in the
// same run: one relaxed fetch_add on a shared atomic (and on one atomic per
// thread), a mutex-protected count/sum/min/max, two reads of the monotonic
// clock (alone and with a fetch_add), and the scoped timer
// as it was before the cycle clock (two steady_clock::now() and an
// AddSample); and the cost of interval statistics (recording with them on, a
// pass with them on and off). After the
// benchmarks it prints each ratio as a "RATIO | ..." line (from the medians
// when --benchmark_repetitions is given) and the heap the counters take.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zrperf/counters/CycleClock.h>
#include <zrperf/counters/MediaSpeedCounter.h>
#include <zrperf/counters/TimeCounter.h>
#include <zrperf/counters/internal/LatencyHistogram.h>
#include <zrperf/perf/PerfCounters.h>
#include "BenchRatios.h"

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

// Independent work for each thread: a relaxed add to an atomic of its own
// cache line. Its rate with two threads over one thread is what the machine
// gives two threads that share nothing, the ceiling of AddSample's.
void BM_OwnFetchAdd(benchmark::State& state) {
  struct alignas(64) Own {
    std::atomic<std::uint64_t> value{0};
  };
  static Own own[2];
  std::atomic<std::uint64_t>& mine = own[state.thread_index() & 1].value;
  for (auto _ : state) mine.fetch_add(1, std::memory_order_relaxed);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OwnFetchAdd)->UseRealTime()->Threads(1)->Threads(2);

void BM_AddSample(benchmark::State& state) {
  std::uint64_t i = 0;
  for (auto _ : state) g_timeCounter.AddSample(CTimeInterval(SampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSample)->UseRealTime()->Threads(1)->Threads(2);

// The bucket of a sample: the schema-4 layout, and the log-linear layout it
// replaced (16 linear buckets per power of two, up to 2^36 units), kept here
// only as the baseline. Samples spread from 100 ns to 100 s.
std::size_t OldBucketOf(std::uint64_t units) noexcept {
  if (units < 16) return static_cast<std::size_t>(units);
  const unsigned power = 63u - static_cast<unsigned>(__builtin_clzll(units));
  if (power > 35) return 527;
  const unsigned shift = power - 4;
  return static_cast<std::size_t>((shift + 1) * 16 + ((units >> shift) & 15));
}

const std::vector<std::uint64_t>& SpreadSamples() {
  static const std::vector<std::uint64_t> samples = [] {
    std::vector<std::uint64_t> v;
    std::uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 4096; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      v.push_back(1 + (x >> (64 - 30)) / (1 + (x & 0xFFFFF)));  // 1 .. 10^9 units
    }
    return v;
  }();
  return samples;
}

template <std::size_t (*Bucket)(std::uint64_t) noexcept>
void BM_BucketOf(benchmark::State& state) {
  const std::vector<std::uint64_t>& samples = SpreadSamples();
  std::size_t i = 0, sum = 0;
  for (auto _ : state) {
    sum += Bucket(samples[i++ & 4095]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_BucketOf, zrfw::latency::BucketOf)->Name("BM_BucketOf/schema4");
BENCHMARK_TEMPLATE(BM_BucketOf, OldBucketOf)->Name("BM_BucketOf/old");

void BM_AddSampleSpread(benchmark::State& state) {
  const std::vector<std::uint64_t>& samples = SpreadSamples();
  std::size_t i = 0;
  for (auto _ : state)
    g_timeCounter.AddSample(CTimeInterval(static_cast<long long>(samples[i++ & 4095])));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSampleSpread)->UseRealTime();

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

// What timing a block costs without the library: two steady_clock reads and
// one shared relaxed add.
void BM_TwoClockReadsFetchAdd(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto end = std::chrono::steady_clock::now();
    g_shared.fetch_add(static_cast<std::uint64_t>((end - start).count()),
                       std::memory_order_relaxed);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoClockReadsFetchAdd)->UseRealTime();

void BM_TwoCycleClockReads(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(CCycleClock::Now());
    benchmark::DoNotOptimize(CCycleClock::Now());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoCycleClockReads)->UseRealTime();

void BM_ScopedTimeSample(benchmark::State& state) {
  for (auto _ : state) {
    CScopedTimeSample sample(&g_timeCounter);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScopedTimeSample)->UseRealTime();

// ---- Interval statistics --------------------------------------------------

// A counter of a set whose passes keep interval snapshots (or not), after one
// pass has taken its snapshot: recording must not notice either way.
CTimeCounter* IntervalCounter(bool intervals) {
  static CPerfCounters* sets[2] = {new CPerfCounters(), new CPerfCounters()};
  CPerfCounters& set = *sets[intervals ? 1 : 0];
  set.SetIntervalStats(intervals);
  CTimeCounter* counter = set.GetCounter("Interval.Bench").get();
  counter->AddSample(CTimeInterval(1));
  set.Log();
  return counter;
}

void BM_AddSampleIntervals(benchmark::State& state) {
  CTimeCounter* counter = IntervalCounter(state.range(0) != 0);
  std::uint64_t i = 0;
  for (auto _ : state) counter->AddSample(CTimeInterval(SampleValue(i++)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddSampleIntervals)->Arg(0)->Arg(1)->UseRealTime();

// A pass over state.range(0) counters that are all due, with interval
// statistics off (range(1) == 0) or on; each counter gains a spread of samples
// between passes.
void BM_PassIntervals(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  CPerfCounters set;
  set.SetIntervalStats(state.range(1) != 0);
  std::vector<CTimeCounter*> counters;
  for (int i = 0; i < n; ++i)
    counters.push_back(set.GetCounter("Counter." + std::to_string(i)).get());
  std::uint64_t sample = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (CTimeCounter* c : counters)
      for (int k = 0; k < 4; ++k) c->AddSample(CTimeInterval(SampleValue(sample++ * 97)));
    state.ResumeTiming();
    set.Log();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_PassIntervals)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The scoped timer before the cycle clock: the baseline of the one above.
class SteadyScopedTimeSample {
 public:
  explicit SteadyScopedTimeSample(CTimeCounter* counter) noexcept
      : m_pCounter(counter), m_start(std::chrono::steady_clock::now()) {}
  ~SteadyScopedTimeSample() {
    if (m_pCounter == nullptr) return;
    const std::chrono::steady_clock::duration elapsed = std::chrono::steady_clock::now() - m_start;
    m_pCounter->AddSample(CTimeInterval::FromNanoseconds(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  }

 private:
  CTimeCounter* m_pCounter;
  std::chrono::steady_clock::time_point m_start;
};

void BM_SteadyScopedTimeSample(benchmark::State& state) {
  for (auto _ : state) {
    SteadyScopedTimeSample sample(&g_timeCounter);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SteadyScopedTimeSample)->UseRealTime();

// One ratio line in the form the other benchmarks print, or a note when one
// of its benchmarks was filtered out.
void PrintRatio(const char* label, double numerator, double denominator, const char* target) {
  if (numerator > 0 && denominator > 0) {
    std::printf("RATIO | %s | %.2f | target %s\n", label, numerator / denominator, target);
  } else {
    std::printf("RATIO | %s | n/a | not run\n", label);
  }
}

void PrintRatios(const zrbench::RecordingReporter& reporter) {
  auto figures = [&](const char* name) {
    auto it = reporter.figures().find(name);
    return it != reporter.figures().end() ? it->second : zrbench::RecordingReporter::Figures();
  };
  const auto fetchAdd = figures("BM_SharedFetchAdd/real_time");
  const auto add1 = figures("BM_AddSample/real_time/threads:1");
  const auto add2 = figures("BM_AddSample/real_time/threads:2");
  const auto mutex1 = figures("BM_MutexCounter/real_time/threads:1");
  const auto mutex2 = figures("BM_MutexCounter/real_time/threads:2");
  const auto own1 = figures("BM_OwnFetchAdd/real_time/threads:1");
  const auto own2 = figures("BM_OwnFetchAdd/real_time/threads:2");
  const auto transfer1 = figures("BM_AddTransfer/real_time/threads:1");
  const auto transfer2 = figures("BM_AddTransfer/real_time/threads:2");
  const auto clocks = figures("BM_TwoClockReads/real_time");
  const auto cycleClocks = figures("BM_TwoCycleClockReads/real_time");
  const auto scoped = figures("BM_ScopedTimeSample/real_time");
  const auto steadyScoped = figures("BM_SteadyScopedTimeSample/real_time");
  std::printf("\n");
  PrintRatio("AddSample / shared fetch_add, time, 1 thread", add1.seconds_per_iteration,
             fetchAdd.seconds_per_iteration, "<= 2.0 (1.5)");
  PrintRatio("AddSample, samples 100 ns..100 s / shared fetch_add, time, 1 thread",
             figures("BM_AddSampleSpread/real_time").seconds_per_iteration,
             fetchAdd.seconds_per_iteration, "<= 2.0");
  PrintRatio("AddSample / mutex counter, time, 1 thread", add1.seconds_per_iteration,
             mutex1.seconds_per_iteration, "<= 0.6");
  PrintRatio("bucket of a sample, schema 4 / old log-linear layout, time",
             figures("BM_BucketOf/schema4").seconds_per_iteration,
             figures("BM_BucketOf/old").seconds_per_iteration, "-");
  PrintRatio("AddSample rate, 2 threads / 1 thread", add2.rate, add1.rate, ">= 1.8");
  PrintRatio("independent work (own fetch_add) rate, 2 threads / 1 thread", own2.rate, own1.rate,
             "- (the machine's ceiling for the row above)");
  PrintRatio("AddSample / mutex counter, rate, 2 threads", add2.rate, mutex2.rate, ">= 3");
  PrintRatio("scoped timer / (two clock reads + AddSample), time", scoped.seconds_per_iteration,
             cycleClocks.seconds_per_iteration > 0 && add1.seconds_per_iteration > 0
                 ? cycleClocks.seconds_per_iteration + add1.seconds_per_iteration
                 : 0,
             "about 1");
  char label[160];
  std::snprintf(label, sizeof label, "scoped timer, %s / steady_clock (%.1f ns / %.1f ns), time",
                CCycleClock::SourceName(), scoped.seconds_per_iteration * 1e9,
                steadyScoped.seconds_per_iteration * 1e9);
  PrintRatio(label, scoped.seconds_per_iteration, steadyScoped.seconds_per_iteration, "<= 0.55");
  PrintRatio("scoped timer / (two steady_clock reads + shared fetch_add), time",
             scoped.seconds_per_iteration,
             figures("BM_TwoClockReadsFetchAdd/real_time").seconds_per_iteration, "<= 0.5");
  PrintRatio("two clock reads, cycle clock / steady_clock, time", cycleClocks.seconds_per_iteration,
             clocks.seconds_per_iteration, "-");
  PrintRatio("AddTransfer / shared fetch_add, time, 1 thread", transfer1.seconds_per_iteration,
             fetchAdd.seconds_per_iteration, "<= 1.5");
  PrintRatio("AddTransfer rate, 2 threads / 1 thread", transfer2.rate, transfer1.rate, ">= 1.5");
  PrintRatio("AddSample, interval statistics on / off, time",
             figures("BM_AddSampleIntervals/1/real_time").seconds_per_iteration,
             figures("BM_AddSampleIntervals/0/real_time").seconds_per_iteration, "<= 1.05");
  PrintRatio("pass over 100,000 due counters, intervals on / off, time",
             figures("BM_PassIntervals/100000/1/real_time").seconds_per_iteration,
             figures("BM_PassIntervals/100000/0/real_time").seconds_per_iteration, "<= 2");
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

  // A snapshot: its own size plus its bucket list. Typical: latencies spread
  // over two decades (10 us to 1 ms); widest: every bucket of the layout.
  CTimeCounter typical, widest;
  for (std::uint64_t v = 100; v < 10'000; v += 7) typical.AddSample(CTimeInterval(v));
  for (unsigned i = 0; i < 16; ++i) widest.AddSample(CTimeInterval(i));
  for (std::uint64_t v = 16; v < (1ull << 37);
       v += std::uint64_t{1} << (63 - __builtin_clzll(v) - 4))
    widest.AddSample(CTimeInterval(static_cast<long long>(v)));
  for (const auto& [name, counter] :
       {std::pair<const char*, CTimeCounter*>{"snapshot, latencies over two decades", &typical},
        {"snapshot, every bucket filled", &widest}}) {
    const CTimeCounterSnapshot snapshot = counter->GetSnapshot();
    std::printf(
        "  %-58s %6zu   (%zu buckets)\n", name,
        sizeof(snapshot) + snapshot.GetBuckets().size() * sizeof(CTimeCounterSnapshot::Bucket),
        snapshot.GetBuckets().size());
  }
}

}  // namespace

// Reads the cycle clock until it has left the steady clock (its calibration
// window is 25 ms), so that the timers are measured on the clock they keep.
void SettleCycleClock() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (CCycleClock::CounterHz() == 0 && std::chrono::steady_clock::now() < deadline) {
    CCycleClock::Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::printf("cycle clock: %s, %.0f ticks/s\n", CCycleClock::SourceName(),
              CCycleClock::CounterHz());
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SettleCycleClock();
  zrbench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  PrintMemory();
  benchmark::Shutdown();
  return 0;
}
