#include "TimeFigures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using zrfw::TimeFigures;
using zrfw::TimeSlotFields;
using Samples = std::vector<std::uint64_t>;

// Fills `slot` as its recording thread does: deviations from the first sample.
void Fill(TimeSlotFields& slot, const Samples& samples) {
  double sum = 0, squares = 0;
  std::uint64_t total = 0, low = UINT64_MAX, high = 0;
  for (std::uint64_t units : samples) {
    const double d = static_cast<double>(static_cast<std::int64_t>(units - samples[0]));
    sum += d;
    squares += d * d;
    total += units;
    low = std::min(low, units);
    high = std::max(high, units);
    slot.buckets[zrfw::latency::BucketOf(units)].fetch_add(1);
  }
  slot.shift = samples.empty() ? 0 : samples[0];
  slot.sum = sum;
  slot.sumSquares = squares;
  slot.total = total;
  slot.min = low;
  slot.max = high;
  slot.count = samples.size();
}

// Groups of very different sizes, means and magnitudes, one of them empty: the
// spread of the whole lies mostly between the groups, not within them.
std::vector<Samples> Groups() {
  std::mt19937_64 random(7);
  std::vector<Samples> groups(6);
  for (int i = 0; i < 1000; ++i) groups[0].push_back(10 + random() % 80);
  groups[1] = {999'999'000, 1'000'000'000, 1'000'003'000};
  groups[3] = {7};
  for (int i = 0; i < 500; ++i) groups[4].push_back(900'000 + random() % 200'000);
  groups[5].assign(200, 123'456);
  return groups;
}

// Mean and population standard deviation computed in two passes over the raw samples.
void ExpectExactFigures(const TimeFigures& f, const std::vector<Samples>& groups) {
  Samples all;
  for (const Samples& g : groups) all.insert(all.end(), g.begin(), g.end());
  long double mean = 0, m2 = 0;
  for (std::uint64_t units : all) mean += static_cast<long double>(units);
  mean /= static_cast<long double>(all.size());
  for (std::uint64_t units : all) m2 += (units - mean) * (units - mean);
  const double deviation = static_cast<double>(std::sqrt(m2 / all.size()));

  std::uint64_t total = 0;
  for (std::uint64_t units : all) total += units;
  ASSERT_EQ(f.count, all.size());
  EXPECT_EQ(f.total, total);
  EXPECT_EQ(f.Min(), *std::min_element(all.begin(), all.end()));
  EXPECT_EQ(f.max, *std::max_element(all.begin(), all.end()));
  EXPECT_NEAR(f.mean, static_cast<double>(mean), 1e-6 * static_cast<double>(mean));
  EXPECT_NEAR(std::sqrt(f.m2 / static_cast<double>(f.count)), deviation, 1.0);
  std::uint64_t inBuckets = 0;
  for (std::uint64_t n : f.buckets) inBuckets += n;
  EXPECT_EQ(inBuckets, f.count);
}

TEST(TimeFigures, SlotsOfDifferentMeansAndSizesMergeToTheExactMeanAndSpread) {
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
}

// Figures added to figures, as exited threads' slots are folded into a
// counter and readers add the live ones to that: pairwise, in a tree.
TEST(TimeFigures, FiguresAddedInAnyGroupingGiveTheExactMeanAndSpread) {
  const std::vector<Samples> groups = Groups();
  std::vector<TimeFigures> single(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    TimeSlotFields slot;
    Fill(slot, groups[i]);
    single[i].AddSlot(slot);
  }
  TimeFigures left, right, whole;
  for (std::size_t i = 0; i < single.size(); ++i) (i % 2 == 0 ? left : right).Add(single[i]);
  whole.Add(right);
  whole.Add(TimeFigures());  // empty figures change nothing
  whole.Add(left);
  ExpectExactFigures(whole, groups);
}

}  // namespace
