#include "LatencyHistogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

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

// Percentiles against the exact nearest-rank values of the same samples.
TEST(LatencyHistogram, PercentilesStayWithinTheDocumentedErrorOnSeveralDistributions) {
  std::mt19937_64 random(20261206);
  std::uniform_int_distribution<std::uint64_t> uniform(1, 1'000'000);
  std::uniform_real_distribution<double> exponent(0, std::log(6e10));  // 100 ns .. 1.7 h
  std::normal_distribution<double> fast(200, 20), slow(5e6, 1e5);
  const std::pair<const char*, std::function<std::uint64_t()>> distributions[] = {
      {"uniform", [&] { return uniform(random); }},
      {"log-uniform", [&] { return static_cast<std::uint64_t>(std::exp(exponent(random))); }},
      {"bimodal",
       [&] {
         return static_cast<std::uint64_t>(random() % 10 == 0 ? slow(random) : fast(random));
       }},
      {"constant", [] { return std::uint64_t{4242}; }},
  };
  for (const auto& [name, draw] : distributions) {
    std::vector<std::uint64_t> buckets(latency::kBuckets), values;
    for (int i = 0; i < 50'000; ++i) {
      values.push_back(draw());
      ++buckets[latency::BucketOf(values.back())];
    }
    std::sort(values.begin(), values.end());
    for (double fraction : {0.001, 0.25, 0.5, 0.9, 0.99, 0.999}) {
      const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
      const double exact = static_cast<double>(values[rank - 1]);
      const double estimate = static_cast<double>(
          latency::Percentile(buckets.data(), fraction, values.front(), values.back()));
      EXPECT_LE(std::fabs(estimate - exact), exact / 32)
          << name << " p" << fraction * 100 << ": " << estimate << " vs " << exact;
    }
  }
}

}  // namespace
