#include "ExactSpread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include <zrperf/tests/support/ExactDeviation.h>

namespace {

using zrfw::spread::StandardDeviation;
using zrfw::spread::Wide;
using zrperf_test::cpp_int;

Wide Low128(const cpp_int& value) {
  const cpp_int mask = (cpp_int(1) << 64) - 1;
  return (Wide{static_cast<std::uint64_t>((value >> 64) & mask)} << 64) |
         static_cast<std::uint64_t>(value & mask);
}

// Groups of equal samples: `count` samples of `units` each.
struct Group {
  std::uint64_t count, units;
};

// What StandardDeviation() gives for the groups' sums, and the exact figure.
std::pair<std::uint64_t, std::uint64_t> ComputedAndReference(const std::vector<Group>& groups) {
  cpp_int n = 0, s = 0, q = 0;
  for (const Group& g : groups) {
    n += g.count;
    s += cpp_int(g.count) * g.units;
    q += cpp_int(g.count) * g.units * g.units;
  }
  return {StandardDeviation(static_cast<std::uint64_t>(n), Low128(s), Low128(q),
                            static_cast<std::uint64_t>(q >> 128)),
          zrperf_test::ExactDeviation(n, s, q)};
}

TEST(ExactSpread, TheDeviationIsTheExactOneRoundedAndImpossibleSumsHaveNone) {
  constexpr std::uint64_t kTop = INT64_MAX;  // the longest CTimeInterval
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 62;
  const std::vector<std::vector<Group>> cases = {
      {},
      {{1, 0}},
      {{3, 5'000}},                                    // no spread
      {{1, 5'000}, {1, 2'000}, {1, 9'000}},            // 2867.4
      {{1, 0}, {1, 1}},                                // 0.5: rounds up
      {{3, 0}, {1, 1}},                                // 0.433
      {{1, 0}, {1, 3}},                                // 1.5
      {{1'000'000, kTop}},                             // huge values that cancel exactly
      {{1'000'000, kTop}, {1'000'000, kTop - 1}},      // ... and to half a unit
      {{1'000'000, kTop}, {999'999, kTop - 1}},        // ... just below half
      {{kHalf, kTop}, {kHalf, 0}},                     // huge count and range: sum of squares 2^189
      {{kHalf, kTop}, {kHalf - 1, kTop - 2}},          // huge count, values that cancel
      {{UINT64_MAX / 2, 1}, {UINT64_MAX / 2 + 1, 0}},  // the largest count
      {{UINT64_MAX - 1, 7}, {1, 8}},                   // a deviation far below one unit
      {{1, kTop}, {UINT64_MAX - 1, 0}},                // one outlier among 2^64 - 1
  };
  for (const auto& groups : cases) {
    const auto [computed, want] = ComputedAndReference(groups);
    EXPECT_EQ(computed, want) << "first of " << groups.size();
  }
  std::mt19937_64 random(41);
  for (int round = 0; round < 2'000; ++round) {
    std::vector<Group> groups(1 + random() % 4);
    const unsigned countBits = 1 + random() % 61, unitBits = 1 + random() % 63;
    for (Group& g : groups) {
      g.count = 1 + (random() >> (64 - countBits));
      g.units = random() >> (64 - unitBits);
    }
    const auto [computed, want] = ComputedAndReference(groups);
    ASSERT_EQ(computed, want) << round;
  }
  // Sums read while a sample was in flight can put s^2 above n * q: no spread.
  EXPECT_EQ(StandardDeviation(0, 5, 25, 0), 0u);
  EXPECT_EQ(StandardDeviation(2, 10, 49, 0), 0u);  // n*q = 98 < s^2 = 100
  EXPECT_EQ(StandardDeviation(2, 10, 50, 0), 0u);  // n*q = s^2
}

}  // namespace
