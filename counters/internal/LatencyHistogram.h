// Internal to the counters engine (built into libzrframework): the log-linear bucket layout of the
// elapsed-time histograms. Percentiles are read from it by CTimeCounterSnapshot alone. The bucket
// count sizes TimeFigures (embedded in CTimeCounter), so this header is installed with it and the
// layout is part of the library's ABI.
//
// Durations are counts of 100 ns units. Values 0 to 15 have a bucket each;
// above that every power of two [2^k, 2^(k+1)) is split into 16 equal
// buckets, up to 2^36 units (about 1.9 hours); longer values share the last
// bucket. A bucket's width is at most 1/16 of its lower bound, so its middle
// lies within 1/32 (3.2 %) of any value in it. Stateless and thread-safe.

#ifndef ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_
#define ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_

#include <cstddef>
#include <cstdint>

namespace zrfw {
namespace latency {

constexpr unsigned kSubBits = 4;  // 16 buckets per power of two
constexpr unsigned kSubBuckets = 1u << kSubBits;
constexpr unsigned kTopPower = 35;  // the last split power: [2^35, 2^36)
constexpr std::size_t kBuckets = kSubBuckets * (kTopPower - kSubBits + 2);  // 528

// The bucket of `units`.
inline std::size_t BucketOf(std::uint64_t units) noexcept {
  if (units < kSubBuckets) return static_cast<std::size_t>(units);
  const unsigned power = 63u - static_cast<unsigned>(__builtin_clzll(units));
  if (power > kTopPower) return kBuckets - 1;
  const unsigned shift = power - kSubBits;
  // Power kSubBits starts right after the exact buckets; each power adds kSubBuckets.
  return static_cast<std::size_t>((shift + 1) * kSubBuckets +
                                  ((units >> shift) & (kSubBuckets - 1)));
}

// The smallest and the largest value of bucket `index` (the last bucket
// reports the largest value of its own range).
std::uint64_t BucketLow(std::size_t index) noexcept;
std::uint64_t BucketHigh(std::size_t index) noexcept;

}  // namespace latency
}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_
