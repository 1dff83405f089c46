#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "KyError.h"
#include "ThreadId.h"
#include "TimeInterval.h"

namespace {

TEST(KyError, SuccessAndErrorCodes) {
  EXPECT_FALSE(CKyError().IsError());
  EXPECT_FALSE(CKyError::Success().IsError());
  EXPECT_EQ(CKyError::Success().GetResult(), 0);
  EXPECT_FALSE(CKyError::Success().GetDetail());
  EXPECT_FALSE(CKyError(1, nullptr).IsError());
  EXPECT_TRUE(CKyError(-1, nullptr).IsError());
  EXPECT_TRUE(CKyError(INT32_MIN, nullptr).IsError());
  EXPECT_EQ(CKyError(-1, nullptr).AsString(), "result=-1");
}

TEST(TimeInterval, UnitsAndReaders) {
  EXPECT_EQ(CTimeInterval::FromSeconds(300).Get100ns(), 3'000'000'000LL);
  EXPECT_EQ(CTimeInterval::FromSeconds(0).Get100ns(), 0);
  EXPECT_EQ(CTimeInterval(12345).Get100ns(), 12345);
  EXPECT_EQ(CTimeInterval(-7).Get100ns(), -7);
  EXPECT_EQ(CTimeInterval::FromMilliseconds(1500).GetSeconds(), 1);
  EXPECT_EQ(CTimeInterval::FromSeconds(2).GetMilliseconds(), 2000);
  EXPECT_EQ(CTimeInterval(9'999).GetMilliseconds(), 0);  // truncates
  EXPECT_EQ(CTimeInterval(-15'000).GetMilliseconds(), -1);
  EXPECT_EQ(CTimeInterval::FromNanoseconds(250).Get100ns(), 2);
  // The largest whole-second count that fits.
  EXPECT_EQ(CTimeInterval::FromSeconds(922337203685LL).GetSeconds(), 922337203685LL);
}

TEST(TimeInterval, Comparisons) {
  const CTimeInterval a(1), b(2);
  EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b);
  EXPECT_TRUE(a == CTimeInterval(1) && a <= CTimeInterval(1) && a >= CTimeInterval(1));
  EXPECT_FALSE(a > b || a >= b || b < a || b <= a || a == b);
  static_assert(CTimeInterval::FromSeconds(1) == CTimeInterval(10'000'000), "constexpr");
}

// Ids must tell threads apart: the owner record of a lock relies on it.
TEST(ThreadId, DiffersBetweenLiveThreads) {
  const std::uint32_t id = GetCurrentThreadId();
  EXPECT_NE(id, 0u);
  std::uint32_t other = 0;
  std::thread t([&] { other = GetCurrentThreadId(); });
  t.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, id);
}

}  // namespace
