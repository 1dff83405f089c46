#include "NativeBuckets.h"

#include <gtest/gtest.h>
#include <zrperf/counters/TimeCounter.h>

#include <cmath>
#include <cstdint>

namespace {

using zrprom::NativeIndexOf;

TEST(NativeBuckets, IndexIsTheBucketWhoseUpperEndIsTheFirstAtOrAboveTheValue) {
  EXPECT_EQ(NativeIndexOf(1.0), 0);
  EXPECT_EQ(NativeIndexOf(std::nextafter(1.0, 2.0)), 1);
  EXPECT_EQ(NativeIndexOf(2.0), 16);
  EXPECT_EQ(NativeIndexOf(0.5), -16);
  EXPECT_EQ(NativeIndexOf(std::nextafter(0.5, 1.0)), -15);
  EXPECT_EQ(NativeIndexOf(1e-7), -372);  // 2^(-372/16) = 1.0024e-7 >= 1e-7 > 2^(-373/16) = 9.6e-8
  for (std::int32_t i = -400; i <= 200; ++i) {
    const double end = std::exp2(i / 16.0);
    EXPECT_EQ(NativeIndexOf(end), i);
    EXPECT_EQ(NativeIndexOf(std::nextafter(end, 0.0)), i);
    EXPECT_EQ(NativeIndexOf(std::nextafter(end, 2 * end)), i + 1);
  }
}

TEST(NativeBuckets, EverySampleCountsOnceInTheZeroBucketOrAtMostTwoBucketsAboveItsValue) {
  const std::uint64_t units[] = {0, 1, 2, 15, 16, 17, 100, 12345, 10'000'000, 1ull << 36};
  for (std::uint64_t u : units) {
    CTimeCounter counter;
    counter.AddSample(CTimeInterval(static_cast<std::int64_t>(u)));
    zrprom::NativeHistogram native;
    zrprom::AddNativeBuckets(counter.GetSnapshot(), &native);
    ASSERT_TRUE(native.present);
    EXPECT_EQ(native.schema, 4);
    if (u == 0) {
      EXPECT_EQ(native.zeroCount, 1u);
      EXPECT_TRUE(native.positive.empty());
      continue;
    }
    EXPECT_EQ(native.zeroCount, 0u);
    ASSERT_EQ(native.positive.size(), 1u) << u;
    EXPECT_EQ(native.positive[0].count, 1u);
    const std::int32_t exact = NativeIndexOf(static_cast<double>(u) / 1e7);
    EXPECT_GE(native.positive[0].index, exact) << u;
    EXPECT_LE(native.positive[0].index, exact + 2) << u;
  }
}

TEST(NativeBuckets, AddingSnapshotsSumsEqualIndicesAndKeepsThemAscending) {
  CTimeCounter a, b;
  for (std::int64_t u : {0, 5, 5, 1000, 70000}) a.AddSample(CTimeInterval(u));
  for (std::int64_t u : {0, 5, 300, 1000000}) b.AddSample(CTimeInterval(u));
  zrprom::NativeHistogram native;
  zrprom::AddNativeBuckets(a.GetSnapshot(), &native);
  zrprom::AddNativeBuckets(b.GetSnapshot(), &native);
  EXPECT_EQ(native.zeroCount, 2u);
  std::uint64_t total = native.zeroCount;
  for (std::size_t i = 0; i < native.positive.size(); ++i) {
    total += native.positive[i].count;
    if (i > 0) {
      EXPECT_LT(native.positive[i - 1].index, native.positive[i].index);
    }
  }
  EXPECT_EQ(total, 9u);
  EXPECT_EQ(native.positive.front().count, 3u);  // the three samples of 5 units
}

}  // namespace
