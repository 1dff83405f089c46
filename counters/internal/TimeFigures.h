// Internal to the counters engine (built into libzrframework): the figures of an elapsed-time
// counter added up (count, total, extremes, mean and spread, histogram), and the fields of one
// thread's slot from which they are added.
// CTimeCounter embeds a TimeFigures, so this header is installed with it and
// the struct's layout is part of the library's ABI: keep it stable.
//
// TimeFigures is a plain value; the counter keeps one for what exited threads
// folded in (under its mutex) and readers build one per read. The mean and
// spread are combined with the pairwise update for means and sums of squared
// deviations, so adding slots in any order gives the same figures up to
// rounding.

#ifndef ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_
#define ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_

#include <atomic>
#include <cstdint>

#include "LatencyHistogram.h"
#include "ThreadSlots.h"

namespace zrfw {

// What one thread records into one counter. Written only by that thread,
// with relaxed loads and stores; read by others at any time.
struct TimeSlotFields {
  std::atomic<std::uint64_t> count{0};
  // 100 ns units. When a sample would carry it past the largest value, the
  // recording thread moves it into the counter's folded (128-bit) total under
  // the mutex and restarts it at that sample, before the count shows it.
  std::atomic<std::uint64_t> total{0};
  std::atomic<std::uint64_t> min{UINT64_MAX};
  std::atomic<std::uint64_t> max{0};
  std::atomic<std::uint64_t> shift{0};  // the slot's first sample
  std::atomic<double> sum{0.0};         // of (sample - shift)
  std::atomic<double> sumSquares{0.0};  // of (sample - shift)^2
  // Counts per bucket, 32 bits to keep the slot small. A bucket that reaches
  // kFoldAt is moved into the counter's folded figures under the counter's
  // mutex, long before it could wrap: one lock per million samples into one
  // bucket costs nothing measurable.
  std::atomic<std::uint32_t> buckets[latency::kBuckets] = {};

  static constexpr std::uint32_t kFoldAt = 1u << 20;
};

struct TimeFigures {
  std::uint64_t count = 0;
  Uint128 total = 0;  // no realistic sum reaches its largest value
  std::uint64_t min = UINT64_MAX;
  std::uint64_t max = 0;
  double mean = 0.0;
  double m2 = 0.0;  // sum of squared deviations from the mean
  std::uint64_t buckets[latency::kBuckets] = {};

  // Adds another set of figures.
  void Add(const TimeFigures& other) noexcept;
  // Adds what a slot holds now (a reader may see some stores of a sample in
  // flight before others; the figures are kept in order regardless).
  void AddSlot(const TimeSlotFields& slot) noexcept;

  // 0 while there is no sample. The other figures (mean, spread,
  // percentiles) are read from a CTimeCounterSnapshot built from these.
  std::uint64_t Min() const noexcept { return count == 0 ? 0 : min; }

 private:
  void Merge(std::uint64_t n, std::uint64_t low, std::uint64_t high, double m,
             double deviations) noexcept;
};

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_
