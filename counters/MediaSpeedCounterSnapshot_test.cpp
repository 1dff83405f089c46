#include "MediaSpeedCounterSnapshot.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include <zrperf/tests/support/RunTogether.h>
#include "MediaSpeedCounter.h"

namespace {

// Passes of transfers by threads that end before each pass, into a counter
// replaced between two passes and into one whose totals pass their largest
// values: each interval holds exactly the transfers in between.
TEST(MediaSpeedCounterSnapshot, SinceGivesTheTotalsOfTheTransfersInBetween) {
  auto speed = std::make_unique<CMediaSpeedCounter>(nullptr);
  CMediaSpeedCounterSnapshot previous = speed->GetSnapshot();
  EXPECT_EQ(previous.AsString(), "transfers=0");
  for (int pass = 1; pass <= 4; ++pass) {
    if (pass == 3) speed = std::make_unique<CMediaSpeedCounter>(nullptr);  // a Reset()
    zrperf_test::RunTogether(3, [&](int t) {
      for (int i = 0; i < 1'000 * pass; ++i)
        speed->AddTransfer(1'000 * (t + 1), CTimeInterval(t + 1));
    });
    const CMediaSpeedCounterSnapshot now = speed->GetSnapshot();
    EXPECT_EQ(now.AsString(), speed->AsString());
    const CMediaSpeedCounterSnapshot interval = now.Since(previous);
    EXPECT_EQ(interval.GetTransfers(), 3'000u * pass) << pass;
    EXPECT_EQ(interval.GetBytes(), 6'000'000u * pass) << pass;
    EXPECT_EQ(interval.GetTime(), CTimeInterval(6'000 * pass)) << pass;
    EXPECT_DOUBLE_EQ(interval.GetThroughput(), 10'000.0) << pass;  // 1000 bytes per 100 ns
    EXPECT_EQ(interval.GetStart(), pass == 3 ? now.GetStart() : previous.GetEnd());
    previous = now;
  }
  EXPECT_EQ(previous.Since(speed->GetSnapshot()).AsString(), "transfers=0");

  CMediaSpeedCounter huge(nullptr);
  huge.AddTransfer(1ull << 63, CTimeInterval::FromSeconds(1));
  const CMediaSpeedCounterSnapshot first = huge.GetSnapshot();
  for (int i = 0; i < 3; ++i) huge.AddTransfer(1ull << 63, CTimeInterval::FromSeconds(2));
  const CMediaSpeedCounterSnapshot interval = huge.GetSnapshot().Since(first);
  EXPECT_EQ(interval.GetBytes(), ULLONG_MAX);  // 3 * 2^63, held
  EXPECT_EQ(interval.GetTime(), CTimeInterval::FromSeconds(6));
  EXPECT_DOUBLE_EQ(interval.GetThroughput(), static_cast<double>(1ull << 63) / 2e6);
}

}  // namespace
