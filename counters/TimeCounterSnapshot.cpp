#include "TimeCounterSnapshot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <zrperf/counters/internal/DurationText.h>
#include <zrperf/counters/internal/ExactSpread.h>
#include <zrperf/counters/internal/LatencyHistogram.h>
#include <zrperf/counters/internal/Saturating.h>

using zrfw::sat::Interval;
using zrfw::sat::Within;

namespace {

namespace latency = zrfw::latency;

static_assert(CTimeCounterSnapshot::kMinBucketIndex == latency::kMinIndex &&
                  CTimeCounterSnapshot::kMaxBucketIndex == latency::kMaxIndex,
              "the public bucket range is the layout's");

// Appends a bucket built in place, field by field: a Bucket built as a
// temporary and copied in is reloaded from the stack in wider words than it
// was stored in, a store-forwarding stall on every bucket.
void AppendBucket(std::vector<CTimeCounterSnapshot::Bucket>& buckets, std::int32_t index,
                  std::uint64_t low, std::uint64_t high, std::uint64_t count) {
  CTimeCounterSnapshot::Bucket& b = buckets.emplace_back();
  b.index = index;
  b.low = low;
  b.high = high;
  b.count = count;
}

std::int32_t Clamped(std::int32_t index) noexcept {
  return index < latency::kMinIndex   ? latency::kMinIndex
         : index > latency::kMaxIndex ? latency::kMaxIndex
                                      : index;
}

// The sum of squares held by a snapshot: 160 bits, as a 128-bit low part and
// a 32-bit high part.
constexpr std::uint32_t kSquaresHighMax = UINT32_MAX;

std::string Text(CTimeInterval value) {
  return zrfw::DurationText(static_cast<std::uint64_t>(value.Get100ns()));
}

}  // namespace

CTimeCounterSnapshot::CTimeCounterSnapshot() = default;

unsigned long long CTimeCounterSnapshot::GetCount() const noexcept {
  return m_nCount;
}

CTimeInterval CTimeCounterSnapshot::GetTotal() const noexcept {
  return Interval(m_nTotal);
}

CTimeInterval CTimeCounterSnapshot::GetMin() const noexcept {
  return Interval(m_nMin);
}

CTimeInterval CTimeCounterSnapshot::GetMax() const noexcept {
  return Interval(m_nMax);
}

CTimeInterval CTimeCounterSnapshot::GetMean() const noexcept {
  if (m_nCount == 0) return CTimeInterval(0);
  const Wide rest = m_nTotal % m_nCount;
  const Wide mean = m_nTotal / m_nCount + (rest >= m_nCount - rest ? 1 : 0);
  // Exact, so within the extremes; the bound of an interval's extremes and a
  // sample in flight at a read can still put it a little outside.
  return Interval(Within(zrfw::sat::To64(mean), m_nMin, m_nMax));
}

CTimeInterval CTimeCounterSnapshot::GetStandardDeviation() const noexcept {
  if (!m_bSpread) return CTimeInterval(0);
  return Interval(zrfw::spread::StandardDeviation(m_nCount, m_nTotal, m_nSquares, m_nSquaresHigh));
}

void CTimeCounterSnapshot::SetSquares(Wide low, std::uint64_t high) noexcept {
  if (high > kSquaresHighMax) {
    low = ~Wide{0};
    high = kSquaresHighMax;
  }
  m_nSquares = low;
  m_nSquaresHigh = static_cast<std::uint32_t>(high);
}

CTimeInterval CTimeCounterSnapshot::GetPercentile(double fraction) const noexcept {
  if (m_nCount == 0) return CTimeInterval(0);
  std::uint64_t count = m_nZeroCount;
  for (const Bucket& bucket : m_vecBuckets) count += bucket.count;
  if (count == 0 || !(fraction > 0.0)) return Interval(m_nMin);  // NaN too
  if (fraction >= 1.0) return Interval(m_nMax);

  const double wanted = std::ceil(fraction * static_cast<double>(count));
  std::uint64_t rank = wanted < 1.0 ? 1 : static_cast<std::uint64_t>(wanted);
  if (rank > count) rank = count;
  std::uint64_t seen = m_nZeroCount;
  if (seen >= rank) return Interval(m_nMin);  // the zero bucket
  for (const Bucket& bucket : m_vecBuckets) {
    seen += bucket.count;
    if (seen >= rank) {
      const std::uint64_t value = latency::Representative(latency::PositionOf(bucket.index));
      return Interval(Within(value, m_nMin, m_nMax));
    }
  }
  return Interval(m_nMax);  // not reached: rank <= count
}

const std::vector<CTimeCounterSnapshot::Bucket>& CTimeCounterSnapshot::GetBuckets() const noexcept {
  return m_vecBuckets;
}

unsigned long long CTimeCounterSnapshot::GetZeroCount() const noexcept {
  return m_nZeroCount;
}

std::uint64_t CTimeCounterSnapshot::BucketUpperUnits(std::int32_t index) noexcept {
  return latency::BucketHigh(latency::PositionOf(Clamped(index)));
}

double CTimeCounterSnapshot::BucketUpperSeconds(std::int32_t index) noexcept {
  return latency::UpperSeconds(Clamped(index));
}

CTimeCounterSnapshot CTimeCounterSnapshot::Since(const CTimeCounterSnapshot& earlier) const {
  if (earlier.m_nCounterId == 0 || earlier.m_nCounterId != m_nCounterId) return *this;

  CTimeCounterSnapshot interval;
  interval.m_nCounterId = m_nCounterId;
  interval.m_start = earlier.m_end;
  interval.m_end = m_end;
  // Count, total and buckets only grow from one read to the next, so their
  // differences add up exactly to the later read's figures over consecutive
  // intervals, even when a read caught a sample's total or bucket before its
  // count. They are taken whatever the count did; Sub() keeps them at 0 for a
  // caller that swaps the two reads.
  const std::uint64_t n = static_cast<std::uint64_t>(zrfw::sat::Sub(m_nCount, earlier.m_nCount));
  interval.m_nCount = n;
  interval.m_nTotal = zrfw::sat::Sub(m_nTotal, earlier.m_nTotal);

  // The buckets gained (both lists ascend).
  interval.m_nZeroCount =
      static_cast<std::uint64_t>(zrfw::sat::Sub(m_nZeroCount, earlier.m_nZeroCount));
  interval.m_vecBuckets.reserve(m_vecBuckets.size());
  auto old = earlier.m_vecBuckets.begin();
  for (const Bucket& bucket : m_vecBuckets) {
    while (old != earlier.m_vecBuckets.end() && old->index < bucket.index) ++old;
    const std::uint64_t before =
        old != earlier.m_vecBuckets.end() && old->index == bucket.index ? old->count : 0;
    if (bucket.count > before)
      AppendBucket(interval.m_vecBuckets, bucket.index, bucket.low, bucket.high,
                   bucket.count - before);
  }

  if (n == 0) return interval;  // extremes and spread of no sample stay 0

  // The sum of squares only grows too (unless held).
  interval.m_bSpread = m_bSpread && earlier.m_bSpread;
  const bool borrow = m_nSquares < earlier.m_nSquares;
  if (m_nSquaresHigh > earlier.m_nSquaresHigh ||
      (m_nSquaresHigh == earlier.m_nSquaresHigh && !borrow)) {
    interval.m_nSquares = m_nSquares - earlier.m_nSquares;
    interval.m_nSquaresHigh = m_nSquaresHigh - earlier.m_nSquaresHigh - (borrow ? 1 : 0);
  }

  // Extremes: exact when the lifetime extreme moved (the new one was recorded
  // in between) or there was no sample before; otherwise the bound of the
  // outermost bucket gained, within the lifetime extremes.
  const bool fresh = earlier.m_nCount == 0;
  interval.m_bMinExact = fresh || m_nMin < earlier.m_nMin;
  interval.m_bMaxExact = fresh || m_nMax > earlier.m_nMax;
  interval.m_nMin = m_nMin;
  interval.m_nMax = m_nMax;
  if (!interval.m_bMinExact && (interval.m_nZeroCount != 0 || !interval.m_vecBuckets.empty())) {
    const std::uint64_t low = interval.m_nZeroCount != 0 ? 0 : interval.m_vecBuckets.front().low;
    interval.m_nMin = Within(low, m_nMin, m_nMax);
  }
  if (!interval.m_bMaxExact && !interval.m_vecBuckets.empty()) {
    interval.m_nMax = Within(interval.m_vecBuckets.back().high, interval.m_nMin, m_nMax);
  }
  if (interval.m_nMin > interval.m_nMax) interval.m_nMin = interval.m_nMax;
  return interval;
}

std::string CTimeCounterSnapshot::AsString() const {
  if (m_nCount == 0) return "samples=0";
  return "samples=" + std::to_string(m_nCount) + " total=" + Text(GetTotal()) +
         " mean=" + Text(GetMean()) + " stddev=" + Text(GetStandardDeviation()) +
         " min=" + Text(GetMin()) + PercentilesText() + " max=" + Text(GetMax());
}

std::string CTimeCounterSnapshot::AsIntervalString() const {
  const double seconds = std::chrono::duration<double>(m_end - m_start).count();
  char head[96];
  std::snprintf(head, sizeof(head), "seconds=%.2f samples=%llu rate=%.2f", seconds,
                static_cast<unsigned long long>(m_nCount),
                seconds > 0.0 ? static_cast<double>(m_nCount) / seconds : 0.0);
  return head + (" mean=" + Text(GetMean())) + PercentilesText() + " max=" + Text(GetMax());
}

std::string CTimeCounterSnapshot::PercentilesText() const {
  return " p50=" + Text(GetPercentile(0.5)) + " p90=" + Text(GetPercentile(0.9)) +
         " p99=" + Text(GetPercentile(0.99)) + " p99.9=" + Text(GetPercentile(0.999));
}

std::int64_t CTimeCounterSnapshot::UnixNanosOf(std::chrono::steady_clock::time_point t) noexcept {
  using std::chrono::nanoseconds;
  // The steady reading between two wall-clock readings, against their midpoint.
  static const std::int64_t offset = [] {
    const auto before = std::chrono::system_clock::now().time_since_epoch();
    const auto steady = std::chrono::steady_clock::now().time_since_epoch();
    const auto after = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<nanoseconds>(before + (after - before) / 2 - steady).count();
  }();
  return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count() + offset;
}

void CTimeCounterSnapshot::LowerBuckets(const std::vector<Bucket>& buckets, int schema,
                                        std::vector<LoweredBucket>* out) {
  schema = std::clamp(schema, kMinSchema, kMaxSchema);
  // At most one bucket out per bucket in; written field by field through a
  // pointer, for the store-forwarding reason AppendBucket() gives (a scrape
  // lowers every counter's buckets).
  out->resize(buckets.size());
  LoweredBucket* const first = out->data();
  LoweredBucket* next = first;
  for (const Bucket& b : buckets) {
    const std::int32_t index = LoweredIndex(b.index, schema);
    // Ascending input gives ascending output: equal indices are neighbours.
    if (next != first && next[-1].index == index) {
      next[-1].count += b.count;
    } else {
      next->index = index;
      next->count = b.count;
      ++next;
    }
  }
  out->resize(static_cast<std::size_t>(next - first));
}

CTimeCounterSnapshot CTimeCounterSnapshot::FromParts(unsigned long long count, std::uint64_t total,
                                                     std::uint64_t min, std::uint64_t max,
                                                     unsigned long long zeroCount,
                                                     const std::vector<Bucket>& buckets,
                                                     bool minExact, bool maxExact) {
  CTimeCounterSnapshot snapshot;
  snapshot.m_nCount = count;
  snapshot.m_nZeroCount = zeroCount;
  snapshot.m_nTotal = total;
  snapshot.m_nMin = min;
  snapshot.m_nMax = max;
  snapshot.m_bMinExact = minExact;
  snapshot.m_bMaxExact = maxExact;
  snapshot.m_bSpread = false;
  snapshot.m_vecBuckets.reserve(buckets.size());
  for (const Bucket& bucket : buckets) {
    const std::size_t position = latency::PositionOf(Clamped(bucket.index));
    const std::uint64_t high =
        position == latency::kLast ? UINT64_MAX : latency::BucketHigh(position);
    AppendBucket(snapshot.m_vecBuckets, Clamped(bucket.index), latency::BucketLow(position), high,
                 bucket.count);
  }
  return snapshot;
}

void CTimeCounterSnapshot::Merge(const CTimeCounterSnapshot& other) {
  if (other.m_nCount == 0 && other.m_nZeroCount == 0 && other.m_vecBuckets.empty() &&
      other.m_nTotal == 0) {
    return;
  }
  const bool empty = m_nCount == 0 && m_nZeroCount == 0 && m_vecBuckets.empty() && m_nTotal == 0;
  if (empty) {
    *this = other;
    return;
  }
  // Spread: the sums of squares add up, as the totals do.
  m_bSpread = m_bSpread && other.m_bSpread;
  const Wide low = m_nSquares + other.m_nSquares;
  SetSquares(low,
             std::uint64_t{m_nSquaresHigh} + other.m_nSquaresHigh + (low < m_nSquares ? 1 : 0));
  // Extremes: those of the group that has samples, else the outer ones.
  if (other.m_nCount != 0) {
    if (m_nCount == 0 || other.m_nMin < m_nMin) {
      m_nMin = other.m_nMin;
      m_bMinExact = other.m_bMinExact;
    } else if (other.m_nMin == m_nMin) {
      m_bMinExact = m_bMinExact || other.m_bMinExact;
    }
    if (m_nCount == 0 || other.m_nMax > m_nMax) {
      m_nMax = other.m_nMax;
      m_bMaxExact = other.m_bMaxExact;
    } else if (other.m_nMax == m_nMax) {
      m_bMaxExact = m_bMaxExact || other.m_bMaxExact;
    }
  }
  m_nCount = zrfw::sat::To64(Wide{m_nCount} + other.m_nCount);
  m_nZeroCount = zrfw::sat::To64(Wide{m_nZeroCount} + other.m_nZeroCount);
  m_nTotal += other.m_nTotal;  // 2^128 units are out of reach

  std::vector<Bucket> merged;
  merged.reserve(m_vecBuckets.size() + other.m_vecBuckets.size());
  auto a = m_vecBuckets.begin();
  auto b = other.m_vecBuckets.begin();
  while (a != m_vecBuckets.end() || b != other.m_vecBuckets.end()) {
    if (b == other.m_vecBuckets.end() || (a != m_vecBuckets.end() && a->index < b->index)) {
      merged.push_back(*a++);
    } else if (a == m_vecBuckets.end() || b->index < a->index) {
      merged.push_back(*b++);
    } else {
      AppendBucket(merged, a->index, a->low, a->high, zrfw::sat::To64(Wide{a->count} + b->count));
      ++a;
      ++b;
    }
  }
  m_vecBuckets.swap(merged);

  if (m_nCounterId != other.m_nCounterId) m_nCounterId = 0;
  if (other.m_end != std::chrono::steady_clock::time_point()) {  // parts have no span
    if (m_end == std::chrono::steady_clock::time_point() || other.m_start < m_start)
      m_start = other.m_start;
    if (other.m_end > m_end) m_end = other.m_end;
  }
}
