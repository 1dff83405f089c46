#include "TimeCounterSnapshot.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

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
  EXPECT_EQ(snapshot.GetTotal(), counter.GetTotal());
  EXPECT_EQ(snapshot.GetMin(), CTimeInterval(7));
  EXPECT_EQ(snapshot.GetMax(), CTimeInterval(1LL << 40));
  EXPECT_EQ(snapshot.GetMean(), counter.GetMean());
  for (double fraction : {0.0, 0.25, 0.5, 0.75, 0.9, 1.0}) {
    EXPECT_EQ(snapshot.GetPercentile(fraction), counter.GetPercentile(fraction)) << fraction;
  }
  EXPECT_EQ(snapshot.AsString(), counter.AsString());
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

}  // namespace
