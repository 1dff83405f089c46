#include "MediaSpeedCounter.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(MediaSpeedCounter, TotalsAndTextAlsoWithoutTimeAndPastTheLargestTotals) {
  CMediaSpeedCounter counter(nullptr);
  EXPECT_EQ(counter.GetTotalBytes(), 0u);
  EXPECT_EQ(counter.GetTotalTransfers(), 0u);
  EXPECT_EQ(counter.GetTotalTime(), CTimeInterval(0));
  EXPECT_EQ(counter.AsString(), "transfers=0");

  counter.AddTransfer(1'000'000, CTimeInterval::FromMilliseconds(500));
  counter.AddTransfer(2'000'000, CTimeInterval::FromMilliseconds(1000));
  EXPECT_EQ(counter.GetTotalBytes(), 3'000'000u);
  EXPECT_EQ(counter.GetTotalTransfers(), 2u);
  EXPECT_EQ(counter.GetTotalTime(), CTimeInterval::FromMilliseconds(1500));
  EXPECT_EQ(counter.AsString(), "transfers=2 bytes=3000000 time=1.50s throughput=2.00MB/s");

  CMediaSpeedCounter fast(nullptr);
  fast.AddTransfer(4096, CTimeInterval(25));  // 4096 bytes in 2.5 us
  EXPECT_EQ(fast.AsString(), "transfers=1 bytes=4096 time=2.50us throughput=1638.40MB/s");

  // No time: no throughput. Totals hold at their largest values.
  CMediaSpeedCounter instant(nullptr);
  instant.AddTransfer(512, CTimeInterval(-40));
  instant.AddTransfer(512, CTimeInterval(0));
  EXPECT_EQ(instant.GetTotalTime(), CTimeInterval(0));
  EXPECT_EQ(instant.AsString(), "transfers=2 bytes=1024 time=0ns throughput=n/a");

  CMediaSpeedCounter huge(nullptr);
  huge.AddTransfer(ULLONG_MAX - 1, CTimeInterval(LLONG_MAX));
  huge.AddTransfer(10, CTimeInterval(LLONG_MAX));
  EXPECT_EQ(huge.GetTotalTime(), CTimeInterval(LLONG_MAX));
  EXPECT_EQ(huge.GetTotalTransfers(), 2u);

  // Past the largest byte total the throughput is still that of the
  // transfers (2^63 bytes a second each), not the held total over the time.
  CMediaSpeedCounter held(nullptr);
  for (int i = 0; i < 3; ++i) held.AddTransfer(1ull << 63, CTimeInterval::FromSeconds(1));
  EXPECT_EQ(held.GetTotalBytes(), ULLONG_MAX);
  EXPECT_EQ(held.AsString(),
            "transfers=3 bytes=18446744073709551615 time=3.00s throughput=9223372036854.78MB/s");
}

}  // namespace
