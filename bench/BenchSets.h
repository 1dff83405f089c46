// Benchmark support: the counter sets the exporters' benchmarks time their
// answers on, and the baseline they are measured against (the statistics
// record's text of the same counters). Built once per process; not
// thread-safe to build, read-only afterwards.

#ifndef ZRPERF_BENCH_BENCHSETS_H_
#define ZRPERF_BENCH_BENCHSETS_H_

#include <benchmark/benchmark.h>
#include <zrperf/perf/PerfCounters.h>

#include <boost/make_shared.hpp>
#include <cstdint>
#include <string>

namespace zrbench {

// Sample values spread over three decades, as storage latencies do.
inline long long SpreadSampleValue(std::uint64_t i) {
  return 20 + static_cast<long long>((i * 2654435761u) % 100000);
}

// Records `samples` values into each of `size` counters named "disk<c>.read",
// counter after counter, continuing the value sequence at *n.
inline void RecordSpread(CPerfCounters* set, int size, int samples, std::uint64_t* n) {
  for (int c = 0; c < size; ++c) {
    boost::shared_ptr<CTimeCounter>& counter =
        set->GetCounter("disk" + std::to_string(c) + ".read");
    for (int s = 0; s < samples; ++s) counter->AddSample(CTimeInterval(SpreadSampleValue((*n)++)));
  }
}

// A set of `size` busy counters of 2,000 samples each.
inline boost::shared_ptr<CPerfCounters> MakeBusySet(int size) {
  auto counters = boost::make_shared<CPerfCounters>();
  std::uint64_t n = 0;
  RecordSpread(counters.get(), size, 2000, &n);
  return counters;
}

// The baseline: AsString() of every elapsed-time counter of `set`, per counter.
inline void TimeAsStringOf(benchmark::State& state, CPerfCounters& set) {
  const CPerfCounters::TimeCounterList list = set.ListTimeCounters();
  for (auto _ : state) {
    for (const auto& entry : list) benchmark::DoNotOptimize(entry.second->AsString());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}

}  // namespace zrbench

#endif  // ZRPERF_BENCH_BENCHSETS_H_
