#include "MediaSpeedCounterSnapshot.h"

#include <gtest/gtest.h>

#include "MediaSpeedCounter.h"

namespace {

TEST(MediaSpeedCounterSnapshot, HoldsTheCountersTotals) {
  CMediaSpeedCounter speed(nullptr);
  EXPECT_EQ(speed.GetSnapshot().AsString(), "transfers=0");
  speed.AddTransfer(1'000'000, CTimeInterval::FromMilliseconds(500));
  speed.AddTransfer(2'000'000, CTimeInterval::FromMilliseconds(1000));
  const CMediaSpeedCounterSnapshot snapshot = speed.GetSnapshot();
  EXPECT_NE(snapshot.GetCounterId(), 0u);
  EXPECT_EQ(snapshot.GetTransfers(), 2u);
  EXPECT_EQ(snapshot.GetBytes(), 3'000'000u);
  EXPECT_EQ(snapshot.GetTime(), CTimeInterval::FromMilliseconds(1500));
  EXPECT_DOUBLE_EQ(snapshot.GetThroughput(), 2.0);
  EXPECT_EQ(snapshot.AsString(), "transfers=2 bytes=3000000 time=1.50s throughput=2.00MB/s");
}

}  // namespace
