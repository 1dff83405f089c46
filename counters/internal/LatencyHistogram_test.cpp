#include "LatencyHistogram.h"

#include <gtest/gtest.h>

#include <boost/multiprecision/cpp_int.hpp>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

namespace latency = zrfw::latency;
using boost::multiprecision::cpp_int;

// Whether t units are at most 2^(index/16) s: t^16 <= 10^(7*16) * 2^index,
// in whole numbers (a negative index moves its power of two to the left).
bool AtMost(std::uint64_t t, int index) {
  const cpp_int left = boost::multiprecision::pow(cpp_int(t), 16) << (index < 0 ? -index : 0);
  return left <= boost::multiprecision::pow(cpp_int(10), 112) << (index > 0 ? index : 0);
}

// The position of `units` by the definition: the first bucket whose upper
// bound it does not exceed.
std::size_t Reference(std::uint64_t units) {
  if (units == 0) return 0;
  for (std::size_t p = 1; p < latency::kLast; ++p)
    if (units <= latency::BucketHigh(p)) return p;
  return latency::kLast;
}

TEST(LatencyHistogram, EveryUpperBoundIsTheExactFloorOfItsPowerOfTwo) {
  for (int index = latency::kMinIndex - 1; index <= latency::kMaxIndex; ++index) {
    const std::uint64_t t = latency::detail::UpperUnits(index);
    ASSERT_TRUE(AtMost(t, index)) << index;
    ASSERT_FALSE(AtMost(t + 1, index)) << index;
    // The seconds are the double nearest to 2^(index/16).
    const long double exact = std::exp2(static_cast<long double>(index) / 16);
    const double seconds = latency::UpperSeconds(index);
    for (double toward : {0.0, 1e9}) {
      ASSERT_LE(std::fabs(static_cast<long double>(seconds) - exact),
                std::fabs(static_cast<long double>(std::nextafter(seconds, toward)) - exact))
          << index;
    }
    ASSERT_TRUE(index % 16 != 0 || seconds == std::ldexp(1.0, index / 16)) << index;
  }
  EXPECT_EQ(latency::BucketHigh(latency::PositionOf(latency::kMinIndex)), 1u);  // 1 unit: the first
  EXPECT_EQ(latency::BucketHigh(latency::kLast), 81'920'000'000u);              // 2^13 s
}

TEST(LatencyHistogram, EveryValueFallsInTheBucketItsBoundsDefine) {
  std::vector<std::uint64_t> values{0, UINT64_MAX, UINT64_MAX - 1};
  for (std::uint64_t v = 1; v < 20'000; ++v) values.push_back(v);
  for (std::size_t p = 1; p < latency::kBuckets; ++p) {
    const std::uint64_t high = latency::BucketHigh(p);
    for (std::uint64_t v : {high - 1, high, high + 1}) values.push_back(v);
  }
  for (unsigned power = 5; power < 64; ++power)  // every slice's first and last value
    for (std::uint64_t slice = 32; slice < 64; ++slice)
      values.insert(values.end(), {slice << (power - 5), ((slice + 1) << (power - 5)) - 1});
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 200'000; ++i) values.push_back(random() >> (random() % 64));
  for (std::uint64_t v : values) ASSERT_EQ(latency::BucketOf(v), Reference(v)) << v;
}

TEST(LatencyHistogram, RepresentativesLieWithinTheBoundOfEveryValueOfTheirBucket) {
  const double bound = std::exp2(1.0 / 32) - 1;  // 2.19 %
  EXPECT_EQ(latency::Representative(0), 0u);
  for (std::size_t p = 1; p < latency::kBuckets; ++p) {
    const std::uint64_t low = latency::BucketLow(p), high = latency::BucketHigh(p);
    if (low > high) continue;  // no whole unit falls here
    const std::uint64_t r = latency::Representative(p);
    ASSERT_TRUE(low <= r && r <= high) << p;
    ASSERT_TRUE(low != high || r == low) << p << ": a one-value bucket reports its value";
    for (std::uint64_t v : {low, high}) {
      const double error = std::fabs(static_cast<double>(r) - static_cast<double>(v));
      ASSERT_LE(error, bound * static_cast<double>(v) + 0.5) << p << " " << v;
      ASSERT_TRUE(low < 226 || error <= bound * static_cast<double>(v)) << p << " " << v;
    }
  }
}

}  // namespace
