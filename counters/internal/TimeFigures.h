// Internal to the counters engine (built into libzrframework): the figures of an elapsed-time
// counter added up (count, total, extremes, mean and spread, histogram), and the fields of one
// thread's slot from which they are added.
// CTimeCounter embeds a TimeFigures, so this header is installed with it and
// the struct's layout is part of the library's ABI: keep it stable. The same
// holds for TimeSlot and TimeSlotFields, which the inline
// CTimeCounter::AddSample() writes.
//
// TimeFigures is a plain value; the counter keeps one for what exited threads
// folded in (under its mutex) and readers build one per read. Every figure is
// an integer sum (count, total, sum of squares, buckets) or an extreme, so
// adding slots in any order gives exactly the same figures, and the spread
// is computed exactly from them when read (ExactSpread.h).

#ifndef ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_
#define ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "LatencyHistogram.h"
#include "ThreadSlots.h"

namespace zrfw {

// What one thread records into one counter: the fields one sample touches
// first, in one cache line of the slot, then the buckets. Written only by that
// thread, with relaxed loads and stores; read by others at any time. The
// slot keeps no count: the count is the sum of the buckets, which a reader
// adds up anyway.
struct TimeSlotFields {
  // 100 ns units. Moved into the counter's folded (128-bit) total under the
  // mutex, with the squares, before it could carry past the largest value
  // (see TryAdd()).
  std::atomic<std::uint64_t> total{0};
  // The sum of the squared samples (units^2). When a sample would carry it
  // past the largest value, the recording thread moves it and the total into
  // the counter's folded (192-bit) sum and restarts both at 0; a sample of
  // 2^32 units (7 minutes) or more always goes that way, since its square
  // alone passes 64 bits.
  std::atomic<std::uint64_t> squares{0};
  std::atomic<std::uint64_t> min{UINT64_MAX};
  std::atomic<std::uint64_t> max{0};
  // Counts per bucket, 32 bits to keep the slot small. A bucket about to
  // reach kFoldAt is moved into the counter's folded figures under the
  // counter's mutex, long before it could wrap: one lock per million samples
  // into one bucket costs nothing measurable.
  std::atomic<std::uint32_t> buckets[latency::kBuckets] = {};

  static constexpr std::uint32_t kFoldAt = 1u << 20;

  // Records `units` when no field needs folding: three stores (total,
  // squares, bucket), plus one for a new extreme. Returns false, having
  // stored nothing, when the squares would pass 64 bits or the bucket would
  // reach kFoldAt; the caller then records the sample under the counter's
  // mutex. The total needs no test of its own: total and squares start at 0
  // together and every whole x has x <= x * x, so the total never exceeds
  // the squares. Inlined into callers: its layout is part of the ABI.
  __attribute__((always_inline)) bool TryAdd(std::uint64_t units) noexcept {
    std::uint64_t newSquares;
    const std::size_t bucket = latency::BucketOf(units);
    const std::uint32_t inBucket = LoadRelaxed(buckets[bucket]) + 1;
    const std::uint64_t square = units * units;  // exact below 2^32 units, tested below
    // Bitwise or: one branch for the three rare cases.
    if (__builtin_expect((units >> 32 != 0) |
                             __builtin_add_overflow(LoadRelaxed(squares), square, &newSquares) |
                             (inBucket >= kFoldAt),
                         0)) {
      return false;
    }
    const std::uint64_t newTotal = LoadRelaxed(total) + units;
    StoreRelaxed(total, newTotal);
    StoreRelaxed(squares, newSquares);
    if (units < LoadRelaxed(min)) StoreRelaxed(min, units);
    if (units > LoadRelaxed(max)) StoreRelaxed(max, units);
    // Last, so that a reader that counts the sample sees its extremes too on
    // a machine that keeps store order (a weaker one may show a sample's
    // fields in any order; the figures are kept consistent regardless).
    StoreRelaxed(buckets[bucket], inBucket);
    return true;
  }
};

// A time counter's slot as the recording path sees it. The counter derives
// its own slot type from this one, adding what only its fold needs.
struct TimeSlot : ThreadSlot {
  using ThreadSlot::ThreadSlot;
  TimeSlotFields fields;

  // Where `fields` lies, right after the slot's header.
  static constexpr std::size_t kFieldsOffset = 32;
  // The fields of `slot` (a TimeSlot), found by their offset rather than by a
  // cast: a caller built with -fsanitize=vptr then needs no type information
  // of the slot types, which the library keeps to itself.
  static TimeSlotFields& FieldsOf(ThreadSlot* slot) noexcept {
    return *reinterpret_cast<TimeSlotFields*>(reinterpret_cast<char*>(slot) + kFieldsOffset);
  }
};

// The sum of squared samples, up to 2^192 units^2 (2^64 samples of up to
// 2^63 units need 2^190): the low 128 bits and the high 64, kept apart so
// that TimeFigures keeps its layout.
struct Squares {
  Uint128 low;
  std::uint64_t high;
};

struct TimeFigures {
  std::uint64_t count = 0;        // the sum of the buckets
  std::uint64_t squaresHigh = 0;  // bits 128 to 191 of the sum of squares
  Uint128 total = 0;              // no realistic sum reaches its largest value
  std::uint64_t min = UINT64_MAX;
  std::uint64_t max = 0;
  Uint128 squaresLow = 0;  // bits 0 to 127 of the sum of the squared samples (units^2)
  std::uint64_t buckets[latency::kBuckets] = {};

  // Adds another set of figures.
  void Add(const TimeFigures& other) noexcept;
  // Adds what a slot holds now (a reader may see some stores of a sample in
  // flight before others; the figures are kept in order regardless).
  void AddSlot(const TimeSlotFields& slot) noexcept;
  // Adds `wide` units^2 to the sum of squares.
  void AddSquares(Uint128 wide, std::uint64_t high = 0) noexcept {
    const Uint128 low = squaresLow + wide;
    squaresHigh += high + (low < squaresLow ? 1 : 0);
    squaresLow = low;
  }
  Squares GetSquares() const noexcept { return Squares{squaresLow, squaresHigh}; }

  // 0 while there is no sample. The other figures (mean, spread,
  // percentiles) are read from a CTimeCounterSnapshot built from these.
  std::uint64_t Min() const noexcept { return count == 0 ? 0 : min; }
};

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_TIMEFIGURES_H_
