#include <gtest/gtest.h>

#include <thread>

#include "KyError.h"
#include "ThreadId.h"
#include "TimeInterval.h"

namespace {

// Only negative results are errors: callers pass positive counts through.
TEST(KyError, OnlyNegativeResultsAreErrors) {
  EXPECT_FALSE(CKyError().IsError());
  EXPECT_FALSE(CKyError::Success().IsError());
  EXPECT_FALSE(CKyError(1, nullptr).IsError());
  EXPECT_TRUE(CKyError(-1, nullptr).IsError());
  EXPECT_TRUE(CKyError(INT32_MIN, nullptr).IsError());
  EXPECT_EQ(CKyError(-1, nullptr).AsString(), "result=-1");
}

TEST(TimeInterval, ConversionsTruncateTowardZeroAndReachTheLargestSecondCount) {
  EXPECT_EQ(CTimeInterval::FromSeconds(300).Get100ns(), 3'000'000'000LL);
  EXPECT_EQ(CTimeInterval::FromMilliseconds(1500).GetSeconds(), 1);
  EXPECT_EQ(CTimeInterval::FromSeconds(2).GetMilliseconds(), 2000);
  EXPECT_EQ(CTimeInterval(9'999).GetMilliseconds(), 0);
  EXPECT_EQ(CTimeInterval(-15'000).GetMilliseconds(), -1);
  EXPECT_EQ(CTimeInterval::FromNanoseconds(250).Get100ns(), 2);
  EXPECT_EQ(CTimeInterval::FromSeconds(922337203685LL).GetSeconds(), 922337203685LL);
}

// Ids must tell threads apart: the owner record of a lock relies on it.
TEST(ThreadId, DiffersBetweenLiveThreads) {
  const std::uint32_t id = GetCurrentThreadId();
  EXPECT_NE(id, 0u);
  std::uint32_t other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, id);
}

}  // namespace
