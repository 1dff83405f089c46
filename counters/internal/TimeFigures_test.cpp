#include "TimeFigures.h"

#include <gtest/gtest.h>

#include <boost/multiprecision/cpp_int.hpp>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using boost::multiprecision::cpp_int;
using zrfw::TimeFigures;
using zrfw::TimeSlotFields;
using zrfw::Uint128;
using Samples = std::vector<std::uint64_t>;

cpp_int Big(Uint128 value) {
  return (cpp_int(static_cast<std::uint64_t>(value >> 64)) << 64) +
         cpp_int(static_cast<std::uint64_t>(value));
}

cpp_int SquaresOf(const TimeFigures& f) {
  return (cpp_int(f.squaresHigh) << 128) + Big(f.squaresLow);
}

// Records each sample as the recording thread does; none may need a fold.
void Fill(TimeSlotFields& slot, const Samples& samples) {
  for (std::uint64_t units : samples) ASSERT_TRUE(slot.TryAdd(units)) << units;
}

// Groups of very different sizes, means and magnitudes, one of them empty.
std::vector<Samples> Groups() {
  std::mt19937_64 random(7);
  std::vector<Samples> groups(6);
  for (int i = 0; i < 1000; ++i) groups[0].push_back(10 + random() % 80);
  groups[1] = {999'999'000, 1'000'000'000, 1'000'003'000};
  groups[3] = {7, 0, 4'294'967'295};  // the largest whose square fits in 64 bits
  for (int i = 0; i < 500; ++i) groups[4].push_back(900'000 + random() % 200'000);
  groups[5].assign(200, 123'456);
  return groups;
}

// Every figure against sums over the raw samples.
void ExpectExactFigures(const TimeFigures& f, const std::vector<Samples>& groups) {
  Samples all;
  for (const Samples& g : groups) all.insert(all.end(), g.begin(), g.end());
  cpp_int total = 0, squares = 0;
  std::vector<std::uint64_t> buckets(zrfw::latency::kBuckets);
  for (std::uint64_t units : all) {
    total += units;
    squares += cpp_int(units) * units;
    ++buckets[zrfw::latency::BucketOf(units)];
  }
  ASSERT_EQ(f.count, all.size());
  EXPECT_EQ(Big(f.total), total);
  EXPECT_EQ(SquaresOf(f), squares);
  EXPECT_EQ(f.Min(), *std::min_element(all.begin(), all.end()));
  EXPECT_EQ(f.max, *std::max_element(all.begin(), all.end()));
  EXPECT_TRUE(std::equal(buckets.begin(), buckets.end(), f.buckets));
}

TEST(TimeFigures, SlotsAndFiguresAddUpExactlyInAnyOrderAndGroupingAndSquaresCarry) {
  const std::vector<Samples> groups = Groups();
  std::vector<TimeSlotFields> slots(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) Fill(slots[i], groups[i]);

  TimeFigures forward, backward;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    forward.AddSlot(slots[i]);
    backward.AddSlot(slots[slots.size() - 1 - i]);
  }
  ExpectExactFigures(forward, groups);
  ExpectExactFigures(backward, groups);

  // Figures added to figures, as exited threads' slots are folded into a
  // counter and readers add the live ones to that: pairwise, in a tree.
  std::vector<TimeFigures> single(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) single[i].AddSlot(slots[i]);
  TimeFigures left, right, whole;
  for (std::size_t i = 0; i < single.size(); ++i) (i % 2 == 0 ? left : right).Add(single[i]);
  whole.Add(right);
  whole.Add(TimeFigures());  // empty figures change nothing
  whole.Add(left);
  ExpectExactFigures(whole, groups);

  // The sum of squares carries into its top 64 bits, as 2^64 samples near
  // 2^63 units need.
  TimeFigures f;
  const Uint128 top = ~Uint128{0};
  f.AddSquares(top);
  f.AddSquares(2, 5);
  EXPECT_EQ(f.squaresLow, Uint128{1});
  EXPECT_EQ(f.squaresHigh, 6u);
  TimeFigures g;
  g.AddSquares(top, 1);
  f.Add(g);
  EXPECT_EQ(SquaresOf(f), cpp_int(8) << 128);
}

// The slot's narrow fields refuse a sample, storing nothing, exactly where
// they would pass their width or the bucket would reach its fold point.
TEST(TimeFigures, ASlotRefusesASampleWithoutAStoreWhereAFieldWouldOverflow) {
  {
    TimeSlotFields slot;
    EXPECT_TRUE(slot.TryAdd(4'294'967'295));  // (2^32 - 1)^2 < 2^64
    // The total never passes the squares, so their test covers it.
    EXPECT_TRUE(slot.TryAdd(3));
    EXPECT_LE(slot.total, slot.squares);
    EXPECT_FALSE(slot.TryAdd(4'294'967'295));
    TimeSlotFields fresh;
    EXPECT_FALSE(fresh.TryAdd(4'294'967'296));  // 2^64
    EXPECT_TRUE(fresh.total == 0 && fresh.squares == 0 && fresh.min == UINT64_MAX &&
                fresh.max == 0);
    EXPECT_TRUE(std::all_of(std::begin(fresh.buckets), std::end(fresh.buckets),
                            [](const auto& count) { return count == 0; }));
  }
  {
    TimeSlotFields slot;
    slot.squares = UINT64_MAX - 9;
    EXPECT_TRUE(slot.TryAdd(3));  // reaches the largest value
    EXPECT_EQ(slot.squares, UINT64_MAX);
    EXPECT_TRUE(slot.TryAdd(0));  // adds nothing
    EXPECT_FALSE(slot.TryAdd(1));
  }
  {
    TimeSlotFields slot;
    const std::size_t bucket = zrfw::latency::BucketOf(42);
    slot.buckets[bucket] = TimeSlotFields::kFoldAt - 2;
    EXPECT_TRUE(slot.TryAdd(42));
    EXPECT_EQ(slot.buckets[bucket], TimeSlotFields::kFoldAt - 1);
    EXPECT_FALSE(slot.TryAdd(42));
    EXPECT_EQ(slot.buckets[bucket], TimeSlotFields::kFoldAt - 1);
    EXPECT_TRUE(slot.TryAdd(43'000));  // another bucket
  }
}

}  // namespace
