#include "CycleClockEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "../../tests/support/RunTogether.h"

namespace {

using std::chrono::milliseconds;
using zrfw::CounterChoice;
using zrfw::CycleClockEngine;
using zrfw::SteadyUnits;

TEST(TickScale, ConvertsTicksOfAnyRateWithoutOverflowOrRateError) {
  for (double hz : {12.5e6, 33.333333e6, 512e6, 1e9, 2095195005.0, 3.9e9, 25e9}) {
    const zrfw::TickScale scale = zrfw::MakeTickScale(hz);
    ASSERT_NE(scale.mult, 0u) << hz;
    // 10 us, 1 s and ten days' worth of ticks.
    for (double seconds : {1e-5, 1.0, 864000.0}) {
      const auto ticks = static_cast<std::uint64_t>(std::llround(hz * seconds));
      const double units = static_cast<double>(zrfw::ScaleTicks(ticks, scale));
      EXPECT_NEAR(units, seconds * 1e7, 1.001) << hz << " Hz, " << seconds << " s";
    }
  }
  // Too coarse for 100 ns units, or no rate at all.
  EXPECT_EQ(zrfw::MakeTickScale(1e7).mult, 0u);
  EXPECT_EQ(zrfw::MakeTickScale(0).mult, 0u);
}

// The processor's own counter, when this machine has one the library trusts.
bool HaveCounter() {
  return zrfw::ChooseCounter(zrfw::BuildArch(), zrfw::ReadCpuinfo()).useCounter;
}

// Threads time short spans while the engine switches from the steady clock to
// the counter and refines its rate: every span, measured on the engine, must
// lie within the steady clock's span around it. A line that starts anywhere
// else than the steady clock, or a reader that mixes two lines, shows up as
// a negative or oversized span.
TEST(CycleClockEngine, SwitchesAndRefinesUnderConcurrentRecordingWithSaneSpans) {
  if (!HaveCounter()) GTEST_SKIP() << "no invariant counter on this machine";
  CycleClockEngine engine(CounterChoice{true, 0}, milliseconds(2));
  std::atomic<int> bad{0};
  std::atomic<long long> worst{0};
  std::atomic<bool> done{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  zrperf_test::RunTogether(4, [&](int thread) {
    std::int64_t last = 0;
    for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
      const std::int64_t before = SteadyUnits();
      const std::int64_t start = engine.Read(last);
      for (unsigned spin = i % 64; spin > 0; --spin)
        std::atomic_signal_fence(std::memory_order_seq_cst);
      const std::int64_t end = engine.Read(last);
      const std::int64_t after = SteadyUnits();
      const std::int64_t span = end - start;
      // 5 % for the counter's rate (at most 0.01 % off), 2 us for the
      // uncertainty of the line's start and the 100 ns rounding.
      if (span < 0 || static_cast<double>(span) > 1.05 * static_cast<double>(after - before) + 20) {
        bad.fetch_add(1);
        worst.store(span);
      }
      if (thread == 0 && i % 1024 == 0 &&
          (engine.Lines() >= 3 || std::chrono::steady_clock::now() > deadline)) {
        done.store(true);
      }
    }
  });
  EXPECT_GE(engine.Lines(), 3) << "the switch and two refinements";
  EXPECT_TRUE(engine.OnCounter());
  EXPECT_EQ(bad.load(), 0) << "last bad span: " << worst.load();
}

// Waits (reading the engine, which does the switch) until `engine` is on the counter.
bool ReadUntilOnCounter(CycleClockEngine& engine, std::int64_t& last) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!engine.OnCounter() && std::chrono::steady_clock::now() < deadline) {
    engine.Read(last);
    std::this_thread::sleep_for(milliseconds(1));
  }
  return engine.OnCounter();
}

TEST(CycleClockEngine, StaysOnTheSteadyClockWithoutAnInvariantCounter) {
  const CounterChoice choice = zrfw::ChooseCounter(
      zrfw::CounterArch::kX86_64, "flags\t\t: fpu tsc constant_tsc rdtscp\n");  // no nonstop_tsc
  CycleClockEngine engine(choice, milliseconds(1));
  std::int64_t last = 0;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(milliseconds(1));
    const std::int64_t before = SteadyUnits();
    const std::int64_t now = engine.Read(last);
    EXPECT_GE(now, before);
    EXPECT_LE(now, SteadyUnits());
  }
  EXPECT_FALSE(engine.OnCounter());
  EXPECT_EQ(engine.CounterHz(), 0);
}

// A declared rate is used from the start. Declaring it a third too fast makes
// the engine's line fall behind the steady clock; forcing the steady clock
// then must continue from the line, not jump to the steady clock, and stay.
TEST(CycleClockEngine, ForcedSteadyClockContinuesFromTheCounterAndStays) {
  if (!HaveCounter()) GTEST_SKIP() << "no invariant counter on this machine";
  std::int64_t last = 0;
  CycleClockEngine probe(CounterChoice{true, 0}, milliseconds(1));
  ASSERT_TRUE(ReadUntilOnCounter(probe, last));
  const double fast = probe.CounterHz() * 4 / 3;

  CycleClockEngine engine(CounterChoice{true, fast}, milliseconds(1));
  EXPECT_TRUE(engine.OnCounter());
  EXPECT_EQ(engine.CounterHz(), fast);
  last = 0;
  const std::int64_t steadyStart = SteadyUnits();
  const std::int64_t first = engine.Read(last);
  std::this_thread::sleep_for(milliseconds(30));
  const std::int64_t steadyForce = SteadyUnits();
  const std::int64_t onCounter = engine.Read(last);
  ASSERT_LT(static_cast<double>(onCounter - first),
            0.85 * static_cast<double>(steadyForce - steadyStart))
      << "the line should run at 3/4 speed";

  engine.ForceSteady();
  EXPECT_FALSE(engine.OnCounter());
  std::int64_t fresh = 0;  // another thread's view: no help from `last`
  const std::int64_t onSteady = engine.Read(fresh);
  const std::int64_t steadyAfter = SteadyUnits();
  EXPECT_GE(onSteady, onCounter);
  // Without the offset it would jump by the quarter it lost, 7.5 ms or more.
  EXPECT_LE(onSteady - onCounter, steadyAfter - steadyForce + 10) << "jumped to the steady clock";
  std::this_thread::sleep_for(milliseconds(5));
  engine.Read(fresh);
  EXPECT_FALSE(engine.OnCounter()) << "switched back";
}

}  // namespace
