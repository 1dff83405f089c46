// CTimeCounterSnapshot: the figures of one CTimeCounter at one moment (count,
// total, extremes, mean and spread, histogram), and the figures of the samples
// recorded between two such moments.
//
//   const CTimeCounterSnapshot before = counter.GetSnapshot();
//   ...                                              // samples arrive
//   const CTimeCounterSnapshot now = counter.GetSnapshot();
//   const CTimeCounterSnapshot interval = now.Since(before);
//   log(interval.AsString());                        // what happened in between
//
// A snapshot is read in one pass under the counter's mutex (see
// CTimeCounter::GetSnapshot()), so it has the counter's never-torn guarantee:
// a sample in flight may show in some fields and not yet in others, and once
// recording stops a snapshot is exact.
//
// Figures of a snapshot read from a counter: count, total, minimum and
// maximum are exact; the mean is the total over the count, exact even where
// GetTotal() holds at its largest value (the sum is kept in 128 bits); the
// standard deviation is the exact one rounded to 100 ns, computed from integer
// sums (count, total, sum of the squared samples) at read time, while the sum
// of squares stays below 2^160 units^2 (beyond it is held, which only 10^10
// samples of the longest CTimeInterval reach); percentiles come from the
// histogram as CTimeCounter::GetPercentile() describes.
//
// Figures of a difference (Since()): count, total, buckets and mean are exact
// (up to the samples in flight at either read, which then count in the next
// interval): consecutive intervals always add up exactly to the last read's
// count, total and buckets, even when a read caught a sample's total before
// its count. An interval without a sample has all its figures 0 (its total
// may still hold the part of a sample in flight). Percentiles are read from
// the bucket differences and lie within the histogram's error (2.2 %) of the
// interval's own percentiles. The minimum is exact when the counter's minimum
// went down between the two reads (the new minimum was recorded in between)
// or when the earlier read had no sample; otherwise it is the lowest value of
// the lowest bucket the interval gained, kept within the later read's
// [minimum, maximum]: a lower bound within one bucket (under 4.5 %) of the
// true minimum. The maximum likewise, with the highest value of the highest
// bucket gained. IsMinExact()/IsMaxExact() tell which. The standard
// deviation of an interval is exact, from the differences of the integer sums.
//
// The histogram, for exporters: the buckets are those of Prometheus native
// histograms at schema 4 (OpenTelemetry exponential histograms at scale 4).
// GetBuckets() lists each non-empty bucket with its index i in that numbering
// (it holds the durations d with 2^((i-1)/16) s < d <= 2^(i/16) s), ascending
// and sparse; GetZeroCount() is the zero bucket's count (durations of 0);
// BucketUpperUnits(i) and BucketUpperSeconds(i) give the upper bound. Indices
// run from kMinBucketIndex (-372, which holds 100 ns) to kMaxBucketIndex
// (208, 2^13 s = 2.3 hours); samples longer than 2^13 s are counted in bucket
// 208 too, so an exporter places them at 2^13 s (their exact values still
// reach GetTotal() and GetMax()). The count of a snapshot read while samples
// arrive may differ from the sum of its buckets by the samples in flight.
//
// Size: 128 bytes plus 32 bytes per non-empty bucket (the bucket list is one
// allocation). Samples spread over two decades (10 us to 1 ms, say) fill 107
// buckets: 3.4 KB; the widest distribution fills at most 581: 18.6 KB.
//
// Thread-safety: a plain value; const use from any number of threads.

#ifndef ZRPERF_COUNTERS_TIMECOUNTERSNAPSHOT_H_
#define ZRPERF_COUNTERS_TIMECOUNTERSNAPSHOT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/TimeInterval.h>

class CTimeCounter;

class ZRFW_EXPORT CTimeCounterSnapshot {
 public:
  // One non-empty histogram bucket: its schema-4 index (upper bound
  // 2^(index/16) seconds), the durations it holds in 100 ns units, from `low`
  // to `high` inclusive, and how many samples fell in it. The last bucket
  // (kMaxBucketIndex) gathers every duration from its low up: its `high` is
  // UINT64_MAX.
  struct Bucket {
    std::int32_t index;
    std::uint64_t low;
    std::uint64_t high;
    std::uint64_t count;
  };
  static constexpr std::int32_t kMinBucketIndex = -372;
  static constexpr std::int32_t kMaxBucketIndex = 208;

  // The upper bound of bucket `index` (kMinBucketIndex..kMaxBucketIndex): in
  // whole 100 ns units, floor(10^7 * 2^(index/16)), exact; in seconds, the
  // double nearest to 2^(index/16).
  static std::uint64_t BucketUpperUnits(std::int32_t index) noexcept;
  static double BucketUpperSeconds(std::int32_t index) noexcept;

  // The histogram at a lower resolution, for exporters whose receivers cap
  // the number of buckets. Every boundary of schema s (s <= 4) is one of
  // schema 4's, so the lowering is exact: bucket j at schema s, which holds
  // 2^((j-1)/2^s) < d <= 2^(j/2^s) seconds, counts the schema-4 buckets i
  // with ceil(i / 2^(4-s)) = j, the exact sum of their counts. (In the
  // exponential-histogram numbering, offset k = index - 1 at every scale,
  // this is k_s = floor(k_4 / 2^(4-s)).) The zero bucket is unchanged.
  struct LoweredBucket {
    std::int32_t index;  // at the schema lowered to
    std::uint64_t count;
  };
  static constexpr int kMaxSchema = 4;    // the recorded resolution
  static constexpr int kMinSchema = -10;  // factor 2^1024: up to 1 s, and above
  // The index at `schema` (kMinSchema..kMaxSchema) of schema-4 bucket `index`.
  static constexpr std::int32_t LoweredIndex(std::int32_t index, int schema) noexcept {
    // ceil(i / 2^n) as an arithmetic shift (floor) of i + 2^n - 1; the
    // operands stay far inside 32 bits.
    return (index + (std::int32_t{1} << (kMaxSchema - schema)) - 1) >> (kMaxSchema - schema);
  }
  // Replaces `*out` with `buckets` (ascending, as GetBuckets() gives them)
  // lowered to `schema`: ascending, non-empty, each index once. A schema
  // outside kMinSchema..kMaxSchema is clamped into it. Reuses `*out`'s
  // storage, so an exporter that keeps the vector allocates nothing.
  static void LowerBuckets(const std::vector<Bucket>& buckets, int schema,
                           std::vector<LoweredBucket>* out);

  // No samples, of no counter (GetCounterId() 0).
  CTimeCounterSnapshot();

  unsigned long long GetCount() const noexcept;  // samples
  CTimeInterval GetTotal() const noexcept;       // their sum, held at the largest value
  CTimeInterval GetMin() const noexcept;         // 0 while there is no sample
  CTimeInterval GetMax() const noexcept;
  // The mean, rounded to the nearest 100 ns; within [GetMin(), GetMax()].
  CTimeInterval GetMean() const noexcept;
  // The population standard deviation, rounded to the nearest 100 ns (halves
  // up); 0 without samples and for a snapshot built from parts.
  CTimeInterval GetStandardDeviation() const noexcept;
  // As CTimeCounter::GetPercentile(): rank ceil(fraction * samples), the
  // representative of its bucket kept within [GetMin(), GetMax()]; 0 gives
  // the minimum, 1 the maximum; 0 while there is no sample.
  CTimeInterval GetPercentile(double fraction) const noexcept;
  const std::vector<Bucket>& GetBuckets() const noexcept;  // non-empty buckets, ascending
  unsigned long long GetZeroCount() const noexcept;        // samples of 0 units

  // Whether the minimum and maximum are the exact extremes of the samples
  // counted (always for a snapshot read from a counter; see above for a
  // difference).
  bool IsMinExact() const noexcept { return m_bMinExact; }
  bool IsMaxExact() const noexcept { return m_bMaxExact; }

  // The counter read: an id that no other counter of the process has; 0 for a
  // default-built snapshot.
  std::uint64_t GetCounterId() const noexcept { return m_nCounterId; }
  // The figures cover the samples recorded from GetStart() to GetEnd(): from
  // the counter's creation to the read for a snapshot read from a counter,
  // from the earlier read to the later for a difference.
  std::chrono::steady_clock::time_point GetStart() const noexcept { return m_start; }
  std::chrono::steady_clock::time_point GetEnd() const noexcept { return m_end; }
  // The wall-clock time of the steady_clock reading `t` (such as GetStart()),
  // in nanoseconds since the Unix epoch. The offset between the two clocks is
  // read once per process, so every exporter gives a series the same start in
  // every answer; a later step of the wall clock (a manual setting, not NTP's
  // slewing) moves no converted time until the process restarts.
  static std::int64_t UnixNanosOf(std::chrono::steady_clock::time_point t) noexcept;

  // The figures of the samples counted in this snapshot and not in `earlier`.
  // When `earlier` was read from another counter (or is default-built), which
  // is the case after the counter set's Reset() replaced the counter, the
  // result is this snapshot whole: an interval never goes negative nor mixes
  // two counters. REQUIRES: `earlier` was read before this snapshot.
  CTimeCounterSnapshot Since(const CTimeCounterSnapshot& earlier) const;

  // Rebuilding and adding snapshots, for readers of logged intervals (the
  // histogram log). A snapshot built from parts has the figures given: count,
  // total and extremes in 100 ns units (with whether each extreme is exact),
  // the zero bucket's count and the non-empty buckets by index (ascending,
  // each index once, within kMinBucketIndex..kMaxBucketIndex; `low` and
  // `high` are ignored and filled in from the layout). Its percentiles are
  // read exactly as those of the snapshot it was logged from; it keeps no
  // spread (GetStandardDeviation() 0), no counter (id 0) and no time span.
  static CTimeCounterSnapshot FromParts(unsigned long long count, std::uint64_t total,
                                        std::uint64_t min, std::uint64_t max,
                                        unsigned long long zeroCount,
                                        const std::vector<Bucket>& buckets, bool minExact = true,
                                        bool maxExact = true);
  // Adds the samples of `other` to this snapshot: counts, totals and buckets
  // add up exactly (the total in 128 bits), the extremes are the outer ones
  // (exact when the one kept is), the spread is that of all the samples
  // (none when either was built from parts). Merging the
  // consecutive intervals of a counter gives the figures of one snapshot of
  // all their samples. The counter id stays only when both are of one
  // counter; the time span becomes the one covering both.
  void Merge(const CTimeCounterSnapshot& other);

  // The text of CTimeCounter::AsString() for these figures.
  std::string AsString() const;

  // The figures as a rate over the span from GetStart() to GetEnd(), for
  // example (on one line):
  //   "seconds=300.00 samples=1200 rate=4.00 mean=1.26ms p50=1.21ms p90=1.66ms
  //    p99=2.30ms p99.9=4.10ms max=12.50ms"
  // seconds and rate (samples per second, 0.00 for an empty span) with two
  // decimals, durations as AsString() writes them (0ns without samples).
  std::string AsIntervalString() const;

 private:
  friend class CTimeCounter;
  __extension__ typedef unsigned __int128 Wide;

  // Sets the sum of squares (low 128 bits, then the next 64), held at its largest value.
  void SetSquares(Wide low, std::uint64_t high) noexcept;
  // " p50=... p90=... p99=... p99.9=...", shared by both texts.
  std::string PercentilesText() const;

  std::uint64_t m_nCount = 0;
  std::uint64_t m_nZeroCount = 0;  // samples of 0 units (fills the padding before m_nTotal)
  Wide m_nTotal = 0;               // never held: 2^128 units are out of reach
  std::uint64_t m_nMin = 0;
  std::uint64_t m_nMax = 0;
  // The sum of the squared samples (units^2): the low 128 bits here and the
  // next 32 in m_nSquaresHigh (in the padding after the flags), held at
  // 2^160 - 1 past that.
  Wide m_nSquares = 0;
  bool m_bMinExact = true;
  bool m_bMaxExact = true;
  bool m_bSpread = true;  // false for a snapshot built from parts, which has no squares
  std::uint32_t m_nSquaresHigh = 0;
  std::uint64_t m_nCounterId = 0;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_end;
  std::vector<Bucket> m_vecBuckets;
};

#endif  // ZRPERF_COUNTERS_TIMECOUNTERSNAPSHOT_H_
