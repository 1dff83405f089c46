#include "CycleClockEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include <zrperf/counters/TimeStamp.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

using zrfw::CounterChoice;

constexpr std::int64_t kMs = 1000000;  // nanoseconds
constexpr std::int64_t kSecond = 1000 * kMs;

// Time as a test sets it: a steady clock moved by hand and a counter ticking
// at 1 GHz from where it was last placed. Only the steady clock moves while
// other threads read (Advance, At); Place is for quiet moments.
class FakeTime {
 public:
  static constexpr std::int64_t kStartNs = 1000 * kSecond;
  static constexpr std::uint64_t kStartTicks = 7000000000000;

  std::int64_t Ns() const { return m_ns.load(); }
  std::uint64_t Counter() const {
    return m_originTicks + static_cast<std::uint64_t>(Ns() - m_originNs);
  }
  std::int64_t SteadyNanoseconds() {
    if (m_holdAfter.fetch_sub(1) == 0) {
      m_held.set_value();
      m_released.wait();
    }
    return Ns();
  }

  void Advance(std::int64_t ns) { m_ns.fetch_add(ns); }
  // The steady clock `ns` after the engine's start (never back).
  void At(std::int64_t ns) { m_ns.store(kStartNs + ns); }
  void Place(std::int64_t ns, std::uint64_t ticks) {
    m_originNs = ns;
    m_originTicks = ticks;
    m_ns.store(ns);
  }

  // The steady read after the next `skip` ones waits in the reader's step
  // until Release(); WaitHeld() is true once a reader waits there, false
  // if none has come within 10 s.
  void HoldRead(int skip) { m_holdAfter.store(skip); }
  bool WaitHeld() {
    return m_wasHeld.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }
  void Release() { m_release.set_value(); }

 private:
  std::atomic<std::int64_t> m_ns{kStartNs};
  std::int64_t m_originNs = kStartNs;
  std::uint64_t m_originTicks = kStartTicks;
  std::atomic<int> m_holdAfter{-1};
  std::promise<void> m_held, m_release;
  std::future<void> m_wasHeld = m_held.get_future();
  std::shared_future<void> m_released = m_release.get_future().share();
};

struct FakeTicks {
  FakeTime* time;
  std::uint64_t Counter() const noexcept { return time->Counter(); }
  std::int64_t SteadyNanoseconds() const noexcept { return time->SteadyNanoseconds(); }
};

using Engine = zrfw::BasicCycleClockEngine<FakeTicks>;
const CounterChoice kMeasured{true, 0};

// The steady clock's reading at `ns`. A line's readings may come out a unit
// below it (its scale is rounded), so the tests allow that unit.
std::int64_t Units(std::int64_t ns) {
  return ns / 100;
}

// A reading by a thread with no floor yet, so that nothing hides a jump.
std::int64_t FirstRead(Engine& engine) {
  std::int64_t last = 0;
  return engine.Read(last);
}

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

TEST(CycleClockEngine, SwitchesToTheCounter25msAfterStartAndRemeasuresWithoutAJump) {
  FakeTime time;
  Engine engine(kMeasured, FakeTicks{&time});
  time.At(25 * kMs - 100);
  const std::int64_t before = FirstRead(engine);
  EXPECT_EQ(before, Units(FakeTime::kStartNs + 25 * kMs) - 1);
  EXPECT_FALSE(engine.OnCounter());
  time.Advance(100);
  EXPECT_EQ(FirstRead(engine), before + 1);  // this reading does the switch
  EXPECT_TRUE(engine.OnCounter());
  EXPECT_EQ(engine.CounterHz(), 1e9);
  time.Advance(100);
  EXPECT_NEAR(FirstRead(engine), before + 2, 1);  // the counter's first reading
  time.Advance(kMs);
  EXPECT_NEAR(FirstRead(engine), before + 2 + 10000, 1);

  // Then the rate is measured again at 0.1, 1, 10, 100 and 1000 s, and only there.
  int lines = 1;
  ASSERT_EQ(engine.Lines(), lines);
  for (std::int64_t point : {kSecond / 10, kSecond, 10 * kSecond, 100 * kSecond, 1000 * kSecond}) {
    time.At(point - 1000);
    const std::int64_t last = FirstRead(engine);
    EXPECT_EQ(engine.Lines(), lines) << "early at " << point;
    time.At(point + 1000);
    EXPECT_NEAR(FirstRead(engine), last + 20, 1) << "jumped at " << point;
    EXPECT_EQ(engine.Lines(), ++lines) << "missed at " << point;
  }
  time.At(10000 * kSecond);
  FirstRead(engine);
  EXPECT_EQ(engine.Lines(), lines) << "measured after 1000 s";
  EXPECT_TRUE(engine.OnCounter());
}

// The counter keeps 1 GHz until the switch; by the 0.1 s re-measure its rate
// since the start is `drift` times that.
TEST(CycleClockEngine, FallsBackForGoodWhenTheRemeasuredRateIsMoreThanOnePercentOffEitherWay) {
  for (double drift : {0.95, 1.05, 0.989, 1.011, 0.991, 1.009}) {
    FakeTime time;
    Engine engine(kMeasured, FakeTicks{&time});
    time.At(25 * kMs);
    FirstRead(engine);
    const std::int64_t ticks = kSecond / 10 + 1000;
    time.Place(FakeTime::kStartNs + std::llround(static_cast<double>(ticks) / drift),
               FakeTime::kStartTicks + static_cast<std::uint64_t>(ticks));
    // Both go on from where the first line is at this point: no jump.
    const std::int64_t there = Units(FakeTime::kStartNs + ticks);
    EXPECT_NEAR(FirstRead(engine), there, 1) << drift;
    const bool keeps = std::fabs(drift - 1) < 0.01;
    EXPECT_EQ(engine.OnCounter(), keeps) << drift;
    time.Advance(kMs);
    if (keeps) {
      EXPECT_NEAR(engine.CounterHz(), 1e9 * drift, 1e3) << drift;
      EXPECT_NEAR(FirstRead(engine), there + 10000 / drift, 2) << "the new rate: " << drift;
      continue;
    }
    EXPECT_NEAR(FirstRead(engine), there + 10000, 1) << "the steady clock's pace: " << drift;
    time.Advance(2000 * kSecond);
    FirstRead(engine);
    EXPECT_FALSE(engine.OnCounter()) << "back on the counter: " << drift;
    EXPECT_EQ(engine.Lines(), 1) << drift;
  }
}

// A declared rate a quarter too high: the line runs at 0.8 of the steady
// clock's pace, is never re-measured, and forcing the steady clock continues
// from it. An untrusted counter, or one forced off early, is never used.
TEST(CycleClockEngine, ForcedSteadyClockContinuesFromTheCountersLineAndStaysOrIsUsedThroughout) {
  FakeTime time;
  Engine engine(CounterChoice{true, 1.25e9}, FakeTicks{&time});
  EXPECT_TRUE(engine.OnCounter());
  time.At(2000 * kSecond);
  const std::int64_t onCounter = FirstRead(engine);
  EXPECT_EQ(onCounter, Units(FakeTime::kStartNs + 1600 * kSecond));
  EXPECT_TRUE(engine.OnCounter()) << "re-measured";
  EXPECT_EQ(engine.Lines(), 1);

  engine.ForceSteady();
  EXPECT_FALSE(engine.OnCounter());
  EXPECT_EQ(FirstRead(engine), onCounter);
  time.Advance(kSecond);
  EXPECT_EQ(FirstRead(engine), onCounter + 10000000);
  EXPECT_FALSE(engine.OnCounter());

  for (bool trusted : {false, true}) {
    FakeTime steady;
    Engine early(CounterChoice{trusted, 0}, FakeTicks{&steady});
    if (trusted) early.ForceSteady();
    for (std::int64_t at : {25 * kMs, kSecond / 10, 2000 * kSecond}) {
      steady.At(at);
      EXPECT_EQ(FirstRead(early), Units(FakeTime::kStartNs + at)) << trusted;
    }
    EXPECT_FALSE(early.OnCounter()) << trusted;
  }
}

// Another processor's counter may lag: a thread that moves there keeps its
// reading, a thread that starts there reads the lag, and a span from the one
// to the other counts as 0. A counter behind the line's start reads as the
// start.
TEST(CycleClockEngine, ACounterGoingBackNeverTakesAThreadsReadingBack) {
  FakeTime time;
  Engine engine(kMeasured, FakeTicks{&time});
  time.At(25 * kMs);
  FirstRead(engine);
  time.At(35 * kMs);
  std::int64_t mine = 0;
  const std::int64_t before = engine.Read(mine);
  time.Place(time.Ns(), time.Counter() - 5 * kMs);
  EXPECT_EQ(engine.Read(mine), before);
  const std::int64_t other = FirstRead(engine);
  EXPECT_EQ(other, before - 50000);
  EXPECT_EQ(SpanBetween(before, other).Get100ns(), 0);
  EXPECT_EQ(SpanBetween(other, before).Get100ns(), 50000);

  time.Place(time.Ns(), FakeTime::kStartTicks);
  EXPECT_EQ(FirstRead(engine), Units(FakeTime::kStartNs + 25 * kMs));
  EXPECT_EQ(engine.Read(mine), before);
}

// A reader does the switch (then a refinement) and is held inside it; another
// reader due for the same step must go on with the clock it has.
TEST(CycleClockEngine, AReaderNeverWaitsForAStepAnotherReaderIsDoing) {
  for (std::int64_t step : {25 * kMs, kSecond / 10}) {
    FakeTime time;
    Engine engine(kMeasured, FakeTicks{&time});
    if (step != 25 * kMs) {
      time.At(25 * kMs);
      FirstRead(engine);
    }
    time.At(step);
    time.HoldRead(engine.OnCounter() ? 0 : 1);  // on the steady clock the read itself is one
    std::thread stepping([&] { FirstRead(engine); });
    const bool held = time.WaitHeld();
    auto other = std::async(std::launch::async, [&] { return FirstRead(engine); });
    const bool waited = other.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    time.Release();
    stepping.join();
    ASSERT_TRUE(held) << "no step at " << step;
    EXPECT_FALSE(waited) << step;
    EXPECT_NEAR(other.get(), Units(FakeTime::kStartNs + step), 1) << step;
    EXPECT_EQ(engine.Lines(), step == 25 * kMs ? 1 : 2) << step;
  }
}

// Four threads read while the first of them also moves the clocks through
// the switch and two refinements, 20 us a step: every reading must lie
// between the steady clock before and after it (less a unit for each line's
// rounding). A reader that saw half a line, or a line that started anywhere
// else, falls outside.
TEST(CycleClockEngine, ReadersRacingTheSwitchAndRefinementsStayOnTheSteadyClock) {
  FakeTime time;
  Engine engine(kMeasured, FakeTicks{&time});
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  zrperf_test::RunTogether(4, [&](int thread) {
    while (!done.load()) {
      if (thread == 0) time.Advance(20000);
      const std::int64_t low = Units(time.Ns()) - 3;
      const std::int64_t reading = FirstRead(engine);
      if (reading < low || reading > Units(time.Ns())) bad.fetch_add(1);
      if (thread == 0 && time.Ns() >= FakeTime::kStartNs + 1100 * kMs) done.store(true);
    }
  });
  EXPECT_EQ(engine.Lines(), 3);
  EXPECT_EQ(bad.load(), 0);
}

// The machine's own counter, when it has one the library trusts: readers
// race the switch and refinements on real clocks, and every span must lie
// within the steady clock's span around it. The span's end is read without
// the thread's floor, so that a line starting behind the one before shows.
TEST(CycleClockEngine, SwitchesAndRefinesTheRealCounterUnderConcurrentRecording) {
  if (!zrfw::ChooseCounter(zrfw::BuildArch(), zrfw::ReadCpuinfo()).useCounter)
    GTEST_SKIP() << "no invariant counter on this machine";
  zrfw::CycleClockEngine engine(kMeasured, zrfw::ProcessorTicks(), std::chrono::milliseconds(2));
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  zrperf_test::RunTogether(4, [&](int thread) {
    std::int64_t last = 0;
    for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
      const std::int64_t before = Units(zrfw::ProcessorTicks::SteadyNanoseconds());
      const std::int64_t start = engine.Read(last);
      std::int64_t fresh = 0;
      const std::int64_t end = engine.Read(fresh);
      const std::int64_t after = Units(zrfw::ProcessorTicks::SteadyNanoseconds());
      // 5 % for the counter's rate (at most 0.01 % off), 2 us for the
      // uncertainty of the line's start and the 100 ns rounding.
      const double span = static_cast<double>(end - start);
      if (span < -20 || span > 1.05 * static_cast<double>(after - before) + 20) bad.fetch_add(1);
      if (thread == 0 && i % 1024 == 0 &&
          (engine.Lines() >= 3 || std::chrono::steady_clock::now() > deadline))
        done.store(true);
    }
  });
  EXPECT_GE(engine.Lines(), 3) << "the switch and two refinements";
  EXPECT_TRUE(engine.OnCounter());
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
