// Internal to the counters engine (built into libzrframework): the calibration and reading beneath CCycleClock.
//
// A reading is a count of 100 ns units on the steady clock's scale
// (std::chrono::steady_clock's epoch). The engine starts on the steady clock.
// If the processor has an invariant counter (CounterChoice), it notes a pair
// (counter, steady clock) at construction; the first reading after the
// calibration window has passed notes a second pair, takes the counter's
// rate from the two and publishes a "line": from then on a reading is
//   line.base + ((counter - line.tick0) * line.scale.mult) >> 64
// (a 128-bit product, no division). The line starts at the steady reading of
// the second pair, so a timing started on the steady clock and ended on the
// counter loses or gains only the few tens of nanoseconds the pair is
// uncertain by. Later readings re-measure the rate against the first pair at
// 4, 40, 400, 4000 and 40000 windows after it (0.1 s .. 1000 s with the
// 25 ms window of the process clock), each new line continuing the old one
// at its switch point, so the reading has no jump. A re-measured rate more
// than 1 % off the one in use means the counter is not what its flags said:
// the engine goes back to the steady clock for good. A declared rate (the
// ppc64 "timebase") is used as it stands, from construction on.
//
// No reader ever waits: the reader that finds a step due tries the engine's
// mutex and, if it gets it, does the step (three clock reads a try, a few
// hundred nanoseconds at most); a reader that does not get it goes on with
// the line it has. A pair whose two counter reads lie too far apart (the
// thread was preempted) is not used; the step is tried again a millisecond
// later.
//
// The caller keeps, per thread, the last reading it got; a reading is never
// below it, so the clock never runs backwards for one thread, even when the
// thread moves to a processor whose counter lags or a line was switched
// under it.
//
// Thread-safety: Read() from any number of threads at once, alongside
// ForceSteady() and the accessors.

#ifndef ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_
#define ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_

#include <atomic>
#include <chrono>
#include <cstdint>

#include "../../sync/Mutex.h"
#include "../../sync/ThreadAnnotations.h"
#include "CounterFeatures.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace zrfw {

// Ticks to 100 ns units: the high 64 bits of the 128-bit product ticks * mult,
// mult being 2^64 units per tick (one multiply instruction on both targets).
struct TickScale {
  std::uint64_t mult = 0;
};

// The scale of a counter ticking `hz` times a second, exact to one part in
// 2^47 or better; a zero scale (mult 0) when hz is outside (10 MHz, 1 THz]:
// a slower counter cannot resolve 100 ns units and is not used.
TickScale MakeTickScale(double hz) noexcept;

inline std::uint64_t ScaleTicks(std::uint64_t ticks, TickScale scale) noexcept {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(ticks) * scale.mult) >> 64);
}

// The processor's counter: the time stamp counter on x86-64, the time base
// on ppc64, 0 elsewhere (never read there: no CounterChoice allows it).
inline std::uint64_t ReadCounter() noexcept {
#if defined(__x86_64__)
  return __rdtsc();
#elif defined(__powerpc64__)
  return __builtin_ppc_get_timebase();
#else
  return 0;
#endif
}

// The steady clock in 100 ns units.
inline std::int64_t SteadyUnits() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

class CycleClockEngine {
 public:
  // `window`: how long after construction the counter's rate is first measured.
  CycleClockEngine(CounterChoice choice, std::chrono::nanoseconds window) noexcept;

  CycleClockEngine(const CycleClockEngine&) = delete;
  CycleClockEngine& operator=(const CycleClockEngine&) = delete;

  // The time now in 100 ns units, at least `last`; stores it in `last`.
  std::int64_t Read(std::int64_t& last) noexcept {
    // Acquire: the line's fields were written before it was published.
    const Line* line = m_line.load(std::memory_order_acquire);
    if (__builtin_expect(line == nullptr, 0)) return ReadSteady(last);
    const std::uint64_t ticks = ReadCounter();
    // Relaxed: only a hint; the refinement checks again under the mutex.
    if (__builtin_expect(ticks >= m_refineAt.load(std::memory_order_relaxed), 0)) {
      return RefineAndRead(last, ticks);
    }
    return Keep(last, Reading(*line, ticks));
  }

  // From now on reads the steady clock, for good, continuing from where the
  // counter's line is (no jump). Waits for a step in progress (a microsecond).
  void ForceSteady() noexcept ZR_EXCLUDES(m_mutex);

  // True while readings come from the counter.
  bool OnCounter() const noexcept { return m_line.load(std::memory_order_acquire) != nullptr; }
  // The counter's rate in use (ticks a second); 0 on the steady clock.
  double CounterHz() const noexcept;
  // How many lines have been published (1 after the first calibration).
  int Lines() const noexcept ZR_EXCLUDES(m_mutex);

 private:
  struct Line {
    std::uint64_t tick0 = 0;  // the counter at the line's start
    std::int64_t base = 0;    // the reading there
    TickScale scale;
    double hz = 0;
  };
  struct Pair {
    std::uint64_t ticks = 0;  // midpoint of two counter reads around the steady read
    std::uint64_t width = 0;  // ticks between those two reads
    std::int64_t nanoseconds = 0;
  };
  static constexpr int kLines = 6;  // the first calibration and five refinements
  static constexpr int kRefinements = kLines - 1;

  // The line's reading at `ticks`. Another processor's counter, or a read
  // that ran ahead of the load of a line just published, may be behind the
  // line's start: that reads as the start.
  static std::int64_t Reading(const Line& line, std::uint64_t ticks) noexcept {
    const std::int64_t since = static_cast<std::int64_t>(ticks - line.tick0);
    return line.base + static_cast<std::int64_t>(ScaleTicks(
                           since > 0 ? static_cast<std::uint64_t>(since) : 0, line.scale));
  }
  // `now`, or `last` if that is later; `last` becomes it.
  static std::int64_t Keep(std::int64_t& last, std::int64_t now) noexcept {
    if (now < last) now = last;
    last = now;
    return now;
  }
  // The slow paths of Read(), out of line so that its fast path saves no
  // registers: the steady clock (and the switch when it is due), and a
  // reading that does a refinement first.
  std::int64_t ReadSteady(std::int64_t& last) noexcept;
  std::int64_t RefineAndRead(std::int64_t& last, std::uint64_t ticks) noexcept;

  static Pair MeasurePair(int tries) noexcept;
  // True when `now` and the first pair are close enough for a rate good to 0.01 %.
  bool Precise(const Pair& now) const noexcept;
  double RateSinceStart(const Pair& now) const noexcept;
  // Publishes a line starting at `now` with `base`.
  void Publish(const Pair& now, std::int64_t base, double hz) noexcept ZR_REQUIRES(m_mutex);
  void Switch() noexcept ZR_EXCLUDES(m_mutex);
  void Refine(std::uint64_t ticks) noexcept ZR_EXCLUDES(m_mutex);
  void ToSteady(std::uint64_t ticks, const Line& line) noexcept ZR_REQUIRES(m_mutex);

  const std::chrono::nanoseconds m_window;
  Pair m_start;         // the first pair; set in the constructor
  double m_declaredHz;  // set in the constructor

  std::atomic<const Line*> m_line{nullptr};
  std::atomic<std::int64_t> m_steadyOffset{0};
  std::atomic<std::int64_t> m_switchAt{INT64_MAX};    // steady units when the switch is due
  std::atomic<std::uint64_t> m_refineAt{UINT64_MAX};  // counter value when a refinement is due

  mutable zrperf::Mutex m_mutex;  // serialises the steps below and ForceSteady
  bool m_forced ZR_GUARDED_BY(m_mutex) = false;
  int m_used ZR_GUARDED_BY(m_mutex) = 0;  // lines used
  // Each written once under m_mutex, before it is published; read without it
  // through m_line (the release/acquire pair), so not annotated.
  Line m_lines[kLines];
};

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_
