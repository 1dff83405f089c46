#include "CycleClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TimeStamp.h"

namespace {

using std::chrono::milliseconds;

std::int64_t SteadyUnits() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(100);
}

// Under qemu the time base is emulated and clock reads are slow.
#if defined(__powerpc64__)
constexpr double kTolerance = 0.06;
#else
constexpr double kTolerance = 0.03;
#endif

// Sleeping is what is measured: the clock's span must lie within the steady
// clock's spans just inside and just outside it, give or take the tolerance,
// which a counter rate or shift 10 % off exceeds and scheduling noise (which
// only widens the outer span) does not.
TEST(CycleClock, AgreesWithTheSteadyClockOverSleepsOnceCalibrated) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::string(CCycleClock::SourceName()) == "steady_clock" &&
         std::chrono::steady_clock::now() < deadline) {
    CCycleClock::Now();  // the reading that is due does the switch
    std::this_thread::sleep_for(milliseconds(1));
  }
#if defined(__powerpc64__)
  EXPECT_NE(CCycleClock::CounterHz(), 0) << "every ppc64 has a time base; it is not in use";
#endif
  std::printf("clock: %s at %.0f Hz\n", CCycleClock::SourceName(), CCycleClock::CounterHz());
  for (int ms : {1, 10, 100}) {
    const std::int64_t outerStart = SteadyUnits();
    const CTimeStamp start = CTimeStamp::Now();
    const std::int64_t innerStart = SteadyUnits();
    std::this_thread::sleep_for(milliseconds(ms));
    const std::int64_t innerEnd = SteadyUnits();
    const double measured = static_cast<double>(ElapsedSince(start).Get100ns());
    const std::int64_t outerEnd = SteadyUnits();
    EXPECT_GE(measured, static_cast<double>(innerEnd - innerStart) * (1 - kTolerance) - 2) << ms;
    EXPECT_LE(measured, static_cast<double>(outerEnd - outerStart) * (1 + kTolerance) + 2) << ms;
  }
}

// Runs last: the process keeps the steady clock from here on.
TEST(CycleClock, ForceSteadyClockTakesEffectAtOnceWithoutAJump) {
  const std::int64_t steadyBefore = SteadyUnits();
  const std::int64_t before = CCycleClock::Now();
  CCycleClock::ForceSteadyClock();
  EXPECT_STREQ(CCycleClock::SourceName(), "steady_clock");
  EXPECT_EQ(CCycleClock::CounterHz(), 0);
  std::int64_t other = 0;
  std::thread([&other] { other = CCycleClock::Now(); }).join();
  const std::int64_t steadyAfter = SteadyUnits();
  EXPECT_GE(other, before - 1);  // another thread: one unit of rounding either way
  EXPECT_LE(other - before, steadyAfter - steadyBefore + 100);
}

}  // namespace
