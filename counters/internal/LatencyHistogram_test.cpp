#include "LatencyHistogram.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

namespace latency = zrfw::latency;

TEST(LatencyHistogram, BucketsTileEveryValueAndTheirBoundsRoundTrip) {
  EXPECT_EQ(latency::BucketLow(0), 0u);
  for (std::size_t i = 0; i + 1 < latency::kBuckets; ++i) {
    const std::uint64_t low = latency::BucketLow(i), high = latency::BucketHigh(i);
    ASSERT_EQ(latency::BucketOf(low), i);
    ASSERT_EQ(latency::BucketOf(high), i);
    ASSERT_EQ(latency::BucketLow(i + 1), high + 1) << "gap or overlap after bucket " << i;
    // What keeps a bucket's middle within 1/32 of every value in it.
    if (i >= latency::kSubBuckets) {
      ASSERT_LE(16 * (high - low + 1), low) << i;
    }
  }
  const std::size_t last = latency::kBuckets - 1;
  EXPECT_EQ(latency::BucketOf(latency::BucketLow(last)), last);
  EXPECT_EQ(latency::BucketOf(latency::BucketHigh(last)), last);
  EXPECT_EQ(latency::BucketOf(UINT64_MAX), last);
}

}  // namespace
