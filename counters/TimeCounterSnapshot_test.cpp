#include "TimeCounterSnapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "../tests/support/RunTogether.h"
#include "TimeCounter.h"

namespace {

TEST(TimeCounterSnapshot, HoldsTheCountersFiguresAndOnlyItsNonEmptyBuckets) {
  const CTimeCounterSnapshot none;
  EXPECT_EQ(none.GetCount(), 0u);
  EXPECT_EQ(none.GetCounterId(), 0u);
  EXPECT_TRUE(none.GetBuckets().empty());
  EXPECT_EQ(none.AsString(), "samples=0");

  CTimeCounter counter;
  EXPECT_EQ(counter.GetSnapshot().AsString(), "samples=0");
  // 7 units (a bucket of its own), twice 5000 (bucket [4864, 5119]), and one
  // beyond the layout (the last bucket, open-ended).
  for (long long units : {5'000LL, 7LL, 5'000LL, 1LL << 40})
    counter.AddSample(CTimeInterval(units));
  const CTimeCounterSnapshot snapshot = counter.GetSnapshot();
  EXPECT_NE(snapshot.GetCounterId(), 0u);
  EXPECT_EQ(snapshot.GetCount(), 4u);
  EXPECT_EQ(snapshot.GetMax(), CTimeInterval(1LL << 40));
  EXPECT_EQ(snapshot.AsString(), counter.AsString());  // every figure, percentiles too
  EXPECT_TRUE(snapshot.IsMinExact() && snapshot.IsMaxExact());
  EXPECT_LE(snapshot.GetStart(), snapshot.GetEnd());

  const std::vector<CTimeCounterSnapshot::Bucket>& buckets = snapshot.GetBuckets();
  ASSERT_EQ(buckets.size(), 3u);
  EXPECT_EQ(buckets[0].low, 7u);
  EXPECT_EQ(buckets[0].high, 7u);
  EXPECT_EQ(buckets[0].count, 1u);
  EXPECT_EQ(buckets[1].low, 4'864u);
  EXPECT_EQ(buckets[1].high, 5'119u);
  EXPECT_EQ(buckets[1].count, 2u);
  EXPECT_EQ(buckets[2].low, 31ull << 31);  // the last bucket of the layout
  EXPECT_EQ(buckets[2].high, UINT64_MAX);
  EXPECT_EQ(buckets[2].count, 1u);

  CTimeCounter other;
  other.AddSample(CTimeInterval(1));
  EXPECT_NE(other.GetSnapshot().GetCounterId(), snapshot.GetCounterId());
}

// The exact figures of the samples of one interval.
struct Reference {
  std::vector<std::uint64_t> samples;

  std::uint64_t Percentile(double fraction) const {
    std::vector<std::uint64_t> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const double wanted = std::ceil(fraction * static_cast<double>(sorted.size()));
    const std::size_t rank = wanted < 1.0 ? 1 : static_cast<std::size_t>(wanted);
    return sorted[std::min(rank, sorted.size()) - 1];
  }
};

// Checks an interval's figures against the exact ones: count, total and mean
// exactly; extremes exactly where the snapshot says so, otherwise outside the
// true extremes by less than one bucket and inside the lifetime ones;
// percentiles within the histogram's error.
void ExpectMatches(const CTimeCounterSnapshot& interval, const Reference& exact,
                   const CTimeCounterSnapshot& lifetime) {
  ASSERT_EQ(interval.GetCount(), exact.samples.size());
  if (exact.samples.empty()) return;
  std::uint64_t total = 0;
  for (std::uint64_t units : exact.samples) total += units;
  EXPECT_EQ(interval.GetTotal(), CTimeInterval(static_cast<long long>(total)));
  const std::uint64_t n = exact.samples.size();
  EXPECT_EQ(interval.GetMean(),
            CTimeInterval(static_cast<long long>((2 * total + n) / (2 * n))));  // rounded

  const long long min = static_cast<long long>(Reference{exact}.Percentile(0));
  const long long max =
      static_cast<long long>(*std::max_element(exact.samples.begin(), exact.samples.end()));
  const long long gotMin = interval.GetMin().Get100ns(), gotMax = interval.GetMax().Get100ns();
  if (interval.IsMinExact()) {
    EXPECT_EQ(gotMin, min);
  } else {
    EXPECT_LE(gotMin, min);
    EXPECT_LE(min - gotMin, min / 16);
    EXPECT_GE(interval.GetMin(), lifetime.GetMin());
  }
  if (interval.IsMaxExact()) {
    EXPECT_EQ(gotMax, max);
  } else {
    EXPECT_GE(gotMax, max);
    EXPECT_LE(gotMax - max, max / 16);
    EXPECT_LE(interval.GetMax(), lifetime.GetMax());
  }
  for (double fraction : {0.5, 0.9, 0.99, 0.999}) {
    const double want = static_cast<double>(exact.Percentile(fraction));
    const double got = static_cast<double>(interval.GetPercentile(fraction).Get100ns());
    EXPECT_LE(std::fabs(got - want), want / 32 + 1) << fraction;
  }
  // The spread of the interval alone, as two passes over its samples give it.
  const double mean = static_cast<double>(total) / static_cast<double>(n);
  double m2 = 0;
  for (std::uint64_t units : exact.samples) m2 += (units - mean) * (units - mean);
  EXPECT_NEAR(static_cast<double>(interval.GetStandardDeviation().Get100ns()),
              std::sqrt(m2 / static_cast<double>(n)), 1.0);
}

// Bursts of known durations across passes: recorded by several threads that
// end before the pass (their slots folded into the counter), by one thread
// that lives through every pass, and into a counter replaced (as the counter
// set's Reset() does) between two passes.
TEST(TimeCounterSnapshot, SinceGivesTheFiguresOfTheSamplesRecordedInBetween) {
  constexpr int kThreads = 3;
  auto counter = std::make_unique<CTimeCounter>();
  CTimeCounterSnapshot previous = counter->GetSnapshot();
  std::mt19937_64 random(12);
  for (int pass = 0; pass < 8; ++pass) {
    if (pass == 5) counter = std::make_unique<CTimeCounter>();  // a Reset()
    // Passes 0, 3 and 5 reach new extremes; the others stay inside [800, 90000].
    const std::uint64_t low = pass == 0 ? 500 : pass == 3 ? 100 : 800;
    const std::uint64_t high = pass == 0 || pass == 3 ? 100'000 : 90'000;
    std::vector<Reference> perThread(kThreads + 1);
    for (Reference& burst : perThread) {
      const std::size_t size = 1 + random() % 3'000;
      for (std::size_t i = 0; i < size; ++i) burst.samples.push_back(low + random() % (high - low));
    }
    zrperf_test::RunTogether(kThreads, [&](int t) {
      for (std::uint64_t units : perThread[t].samples)
        counter->AddSample(CTimeInterval(static_cast<long long>(units)));
    });
    for (std::uint64_t units : perThread[kThreads].samples)
      counter->AddSample(CTimeInterval(static_cast<long long>(units)));

    Reference exact;
    for (const Reference& burst : perThread)
      exact.samples.insert(exact.samples.end(), burst.samples.begin(), burst.samples.end());
    const CTimeCounterSnapshot now = counter->GetSnapshot();
    const CTimeCounterSnapshot interval = now.Since(previous);
    SCOPED_TRACE(pass);
    ExpectMatches(interval, exact, now);
    if (pass == 5) {  // the new counter's figures alone, from its creation
      EXPECT_EQ(interval.GetCount(), now.GetCount());
      EXPECT_EQ(interval.GetStart(), now.GetStart());
    } else {
      EXPECT_EQ(interval.GetStart(), previous.GetEnd());
    }
    EXPECT_EQ(interval.GetEnd(), now.GetEnd());
    previous = now;
  }
  // Nothing recorded: an empty interval, all of whose figures are 0; and the
  // differences never go negative.
  const CTimeCounterSnapshot later = counter->GetSnapshot();
  const CTimeCounterSnapshot empty = later.Since(previous);
  EXPECT_EQ(empty.AsString(), "samples=0");
  EXPECT_EQ(empty.AsIntervalString().substr(empty.AsIntervalString().find(" mean=")),
            " mean=0ns p50=0ns p90=0ns p99=0ns p99.9=0ns max=0ns");
  EXPECT_TRUE(empty.GetMin() == CTimeInterval(0) && empty.GetTotal() == CTimeInterval(0));
  EXPECT_TRUE(empty.GetBuckets().empty());
  const CTimeCounterSnapshot backwards = previous.Since(later);
  EXPECT_EQ(backwards.GetCount(), 0u);
  EXPECT_EQ(backwards.GetTotal(), CTimeInterval(0));
}

// A recording thread races a reader that takes snapshot after snapshot: a
// read may catch a sample's total and bucket before its count, and, with
// busy threads outnumbering the cores, the recorder is preempted there while
// the reader takes further snapshots in which the count stands still. Over
// many rounds the consecutive intervals add up exactly to the final count,
// total and buckets, and each keeps its figures in order.
TEST(TimeCounterSnapshot, IntervalsReadWhileAThreadRecordsAddUpExactlyToTheLifetime) {
  constexpr int kSamples = 200'000, kBusy = 2;
  for (int round = 0; round < 10; ++round) {
    CTimeCounter counter;
    std::atomic<bool> recording{true};
    unsigned long long count = 0, inBuckets = 0;
    long long total = 0;
    zrperf_test::RunTogether(2 + kBusy, [&](int t) {
      if (t == 0) {
        for (int i = 0; i < kSamples; ++i)
          counter.AddSample(CTimeInterval(1 + (i * 7919) % 50'000));
        recording = false;
      } else if (t > 1) {  // keeps a core busy, so that the recorder is preempted
        for (volatile unsigned spin = 0; recording.load(std::memory_order_relaxed);
             spin = spin + 1) {
        }
      } else {
        CTimeCounterSnapshot previous;
        for (bool last = false; !last;) {
          last = !recording.load();
          const CTimeCounterSnapshot now = counter.GetSnapshot();
          const CTimeCounterSnapshot interval = now.Since(previous);
          count += interval.GetCount();
          total += interval.GetTotal().Get100ns();
          for (const CTimeCounterSnapshot::Bucket& b : interval.GetBuckets()) inBuckets += b.count;
          if (interval.GetCount() != 0) {
            EXPECT_LE(interval.GetMin(), interval.GetPercentile(0.001));
            EXPECT_LE(interval.GetMin(), interval.GetMean());
            EXPECT_LE(interval.GetMean(), interval.GetMax());
            EXPECT_LE(interval.GetPercentile(0.99), interval.GetMax());
            EXPECT_GE(interval.GetMin(), now.GetMin());
          }
          previous = now;
        }
      }
    });
    ASSERT_EQ(count, std::uint64_t{kSamples}) << "round " << round;
    ASSERT_EQ(inBuckets, count) << "round " << round;
    ASSERT_EQ(CTimeInterval(total), counter.GetTotal()) << "round " << round;
  }
}

}  // namespace
