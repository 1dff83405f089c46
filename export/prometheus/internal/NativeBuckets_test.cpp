#include "NativeBuckets.h"

#include <gtest/gtest.h>
#include <zrperf/counters/TimeCounter.h>

#include <cmath>
#include <cstdint>

namespace {

// The index of the schema-4 bucket holding `units` (> 0): the least i with
// units <= 10^7 * 2^(i/16), settled exactly on the counters' own bounds.
std::int32_t IndexOf(std::uint64_t units) {
  std::int32_t i = CTimeCounterSnapshot::kMinBucketIndex;
  while (i < CTimeCounterSnapshot::kMaxBucketIndex &&
         CTimeCounterSnapshot::BucketUpperUnits(i) < units)
    ++i;
  return i;
}

TEST(NativeBuckets, EverySampleCountsOnceInItsOwnSchema4BucketOrTheZeroBucket) {
  const std::uint64_t units[] = {0, 1, 2, 15, 16, 17, 100, 12345, 10'000'000, 1ull << 36};
  for (std::uint64_t u : units) {
    CTimeCounter counter;
    counter.AddSample(CTimeInterval(static_cast<std::int64_t>(u)));
    zrprom::NativeHistogram native;
    zrprom::SetNativeBuckets(counter.GetSnapshot(), 0, &native);
    ASSERT_TRUE(native.present);
    EXPECT_EQ(native.schema, 4);
    EXPECT_EQ(native.zeroThreshold, 0.0);
    EXPECT_EQ(native.zeroCount, u == 0 ? 1u : 0u) << u;
    ASSERT_EQ(native.positive.size(), u == 0 ? 0u : 1u) << u;
    if (u == 0) continue;
    EXPECT_EQ(native.positive[0].count, 1u);
    EXPECT_EQ(native.positive[0].index, IndexOf(u)) << u;
    // The value lies inside the native bucket's (2^((i-1)/16), 2^(i/16)] s.
    EXPECT_LE(static_cast<double>(u) / 1e7,
              std::exp2(native.positive[0].index / 16.0) * (1 + 1e-12));
    EXPECT_GT(static_cast<double>(u) / 1e7,
              std::exp2((native.positive[0].index - 1) / 16.0) * (1 - 1e-12));
  }
}

}  // namespace
