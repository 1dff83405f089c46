// Internal to the counters engine (built into libzrframework): the bucket
// layout of the elapsed-time histograms. Percentiles are read from it by
// CTimeCounterSnapshot alone. The bucket count sizes TimeFigures (embedded in
// CTimeCounter), so this header is installed with it and the layout is part of
// the library's ABI. Stateless and thread-safe.
//
// The layout is that of Prometheus native histograms at schema 4 (the
// OpenTelemetry exponential histogram at scale 4): bucket index i holds the
// durations d (seconds) with 2^((i-1)/16) < d <= 2^(i/16), and a zero bucket
// holds d = 0. Durations are whole 100 ns units, so bucket i holds the units t
// with Upper(i-1) < t <= Upper(i), where Upper(i) = floor(10^7 * 2^(i/16)) is
// computed once, in integers, at compile time; no floating point decides a
// bucket. Indices run from -372 (which holds 100 ns) to 208 (2^13 s, about
// 2.3 hours); longer durations share bucket 208, whose nominal upper bound
// then understates them (their exact values still reach total and maximum).
// Some low buckets hold no whole unit at all.
//
// Dense positions: 0 is the zero bucket, position p >= 1 is index
// p - 1 + kMinIndex.
//
// A bucket's representative (the value a percentile in it reads) is the
// whole unit nearest to the harmonic mean of its lowest and highest unit: it
// lies within 2^(1/32) - 1 (2.19 %) of every value in the bucket, plus at
// most half a unit of rounding (exactly within 2.19 % from 226 units, 22.6 us,
// up); a bucket that holds one whole unit reports it exactly.

#ifndef ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_
#define ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_

#include <cstddef>
#include <cstdint>

namespace zrfw {
namespace latency {

constexpr int kMinIndex = -372;                                    // holds 1 unit (100 ns)
constexpr int kMaxIndex = 208;                                     // 2^13 s, and everything longer
constexpr std::size_t kBuckets = 1 + (kMaxIndex - kMinIndex + 1);  // 582, with the zero bucket
constexpr std::size_t kLast = kBuckets - 1;

constexpr std::size_t PositionOf(int index) noexcept {
  // Non-negative for every index of the layout; widened only once it is.
  return static_cast<std::size_t>(static_cast<unsigned>(index - kMinIndex + 1));
}
constexpr int IndexOf(std::size_t position) noexcept {
  return static_cast<int>(position) - 1 + kMinIndex;
}

namespace detail {

__extension__ typedef unsigned __int128 Wide;

// floor(2^(r/16) * 2^62) for r = 0..15, computed exactly (integer roots).
constexpr std::uint64_t kRoot16[16] = {
    0x4000000000000000, 0x42d561b3e6243d8a, 0x45cae0f1f545eb73, 0x48e1e9b9d588e19b,
    0x4c1bf828c6dc54b7, 0x4f7a993048d088d6, 0x52ff6b54d8a89c75, 0x56ac1f752150a563,
    0x5a827999fcef3242, 0x5e8451cfac061b5f, 0x62b39508aa836d6e, 0x6712460a8fc24071,
    0x6ba27e656b4eb57a, 0x70666f76154a7088, 0x75606373ee921c97, 0x7a92be8a92436616};

// floor(10^7 * 2^(i/16)): 2^(i/16) = 2^q * 2^(r/16) with 0 <= r < 16. The
// truncation of kRoot16 errs by less than 2^-26 units, and no threshold lies
// that close above a whole number (LatencyHistogram_test checks each one
// exactly), so the floor is exact.
constexpr std::uint64_t UpperUnits(int index) noexcept {
  const int q = index >= 0 ? index / 16 : -((15 - index) / 16);
  const int r = index - 16 * q;
  return static_cast<std::uint64_t>((Wide{10'000'000} * kRoot16[r]) >> (62 - q));
}

// The bit width of a value selects one of 32 equal slices of its power of
// two (values below 64 index the table directly); a slice holds at most one
// bucket boundary, so the bucket is the slice's first bucket or the next one.
// With s = max(0, power - 5) the slice's key is 32 * s + (units >> s): the
// shifted value keeps its top bit, which adds the power's offset. Every power
// up to 63 has its slices (those past 2^37 units all hold the last bucket),
// so no value needs a branch of its own.
constexpr unsigned kSliceBits = 5;
constexpr unsigned kSlices = 1u << kSliceBits;
constexpr std::size_t kPrefixes = kSlices * (64 - kSliceBits + 1);

struct Tables {
  // The largest units of each position; the last holds every value above.
  std::uint64_t upper[kBuckets] = {};
  // The value a percentile in each position reads.
  std::uint64_t representative[kBuckets] = {};
  // The position of the lowest value of each slice.
  std::uint16_t byPrefix[kPrefixes] = {};
  // The largest units of that position: a value above it lies in the next.
  // Indexed like byPrefix, so that both loads start at once.
  std::uint64_t splitAt[kPrefixes] = {};
};

constexpr Tables MakeTables() noexcept {
  Tables t;
  for (std::size_t p = 1; p < kBuckets; ++p) t.upper[p] = UpperUnits(IndexOf(p));
  for (std::size_t p = 1; p < kBuckets; ++p) {
    const std::uint64_t low = t.upper[p - 1] + 1, high = t.upper[p];
    // The nearest whole unit to 2 * low * high / (low + high).
    t.representative[p] = low > high
                              ? high
                              : static_cast<std::uint64_t>((Wide{4} * low * high + low + high) /
                                                           (Wide{2} * (low + high)));
  }
  t.upper[kLast] = UINT64_MAX;
  std::size_t p = 0;
  for (std::size_t key = 0; key < kPrefixes; ++key) {
    // Keys 0 to 63 are the values themselves; from there each power's 32
    // slices start at (32 + slice) << shift.
    const unsigned shift = key < 2 * kSlices ? 0 : static_cast<unsigned>(key / kSlices) - 1;
    const std::uint64_t lowest =
        key < 2 * kSlices ? key : static_cast<std::uint64_t>(kSlices + key % kSlices) << shift;
    while (lowest > t.upper[p]) ++p;
    t.byPrefix[key] = static_cast<std::uint16_t>(p);
    t.splitAt[key] = t.upper[p];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace detail

// The position of `units`: two table loads side by side, one compare, no
// branch and no floating point.
inline std::size_t BucketOf(std::uint64_t units) noexcept {
  using detail::kTables;
  const unsigned power = 63u ^ static_cast<unsigned>(__builtin_clzll(units | 1));
  const unsigned shift = power > detail::kSliceBits ? power - detail::kSliceBits : 0;
  const std::size_t key = shift * detail::kSlices + (units >> shift);
  return kTables.byPrefix[key] + (units > kTables.splitAt[key] ? 1 : 0);
}

// The smallest and largest units of position `p` (the last position reports
// the largest value of its nominal range, Upper(kMaxIndex)); low > high for a
// bucket that holds no whole unit.
constexpr std::uint64_t BucketLow(std::size_t p) noexcept {
  return p == 0 ? 0 : detail::kTables.upper[p - 1] + 1;
}
constexpr std::uint64_t BucketHigh(std::size_t p) noexcept {
  return p == kLast ? detail::UpperUnits(kMaxIndex) : detail::kTables.upper[p];
}
constexpr std::uint64_t Representative(std::size_t p) noexcept {
  return detail::kTables.representative[p];
}

// 2^(index/16) as the nearest double (from the same exact roots).
double UpperSeconds(int index) noexcept;

}  // namespace latency
}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_LATENCYHISTOGRAM_H_
