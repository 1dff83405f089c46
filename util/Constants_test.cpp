#include "Constants.h"

#include <gtest/gtest.h>

namespace {

// The time bases are 100 ns counts since 1601-01-01: whole days to the dates
// their names give (134774 days to 1970-01-01, 109205 to 1899-12-30).
TEST(Constants, TimeBasesAreWholeDaysToTheirDates) {
  constexpr std::int64_t kPerDay = 24LL * 3600 * 10'000'000;
  EXPECT_EQ(FXTime::SYSTEMTIME_19700101, 134774 * kPerDay);
  EXPECT_EQ(FXTime::SYSTEMTIME_18991230, 109205 * kPerDay);
}

}  // namespace
