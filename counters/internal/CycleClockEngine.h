// Internal to the counters engine (built into libzrframework): the calibration and reading beneath
// CCycleClock.
//
// A reading is a count of 100 ns units on the steady clock's scale
// (std::chrono::steady_clock's epoch). The engine starts on the steady clock.
// If the processor has an invariant counter (CounterChoice), it notes a pair
// (counter, steady clock) at construction; the first reading after the
// calibration window (25 ms) has passed notes a second pair, takes the
// counter's rate from the two and publishes a "line": from then on a reading is
//   line.base + ((counter - line.tick0) * line.scale.mult) >> 64
// (a 128-bit product, no division). The line starts at the steady reading of
// the second pair, so a timing started on the steady clock and ended on the
// counter loses or gains only the few tens of nanoseconds the pair is
// uncertain by. Later readings re-measure the rate against the first pair at
// 4, 40, 400, 4000 and 40000 windows after it (0.1 s .. 1000 s with the
// 25 ms window), each new line continuing the old one at its switch point, so
// the reading has no jump. A re-measured rate more than 1 % above or below
// the one in use means the counter is not what its flags said: the engine
// goes back to the steady clock for good, continuing from the line. A
// declared rate (the ppc64 "timebase") is used as it stands, from
// construction on.
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
// The engine reads both clocks through its Source, a type with
//   std::uint64_t Counter() const noexcept;             // the processor's counter
//   std::int64_t SteadyNanoseconds() const noexcept;    // the steady clock
// ProcessorTicks reads the real ones, inline, so the recording read is the
// counter instruction itself; tests instantiate the engine on a source they
// drive, to move time, change the counter's rate and make it jump.
//
// Thread-safety: Read() from any number of threads at once, alongside
// ForceSteady() and the accessors.

#ifndef ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_
#define ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>

#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include "CounterFeatures.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace zrfw {

// How long after construction the counter's rate is first measured: long
// enough for a rate good to about 0.0002 % at the first switch, short enough
// that little of a process's life is timed on the slower clock.
constexpr std::chrono::milliseconds kCalibrationWindow(25);

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

// The clocks of the machine: the time stamp counter on x86-64, the time base
// on ppc64, 0 elsewhere (never read there: no CounterChoice allows it); and
// std::chrono::steady_clock.
struct ProcessorTicks {
  static std::uint64_t Counter() noexcept {
#if defined(__x86_64__)
    return __rdtsc();
#elif defined(__powerpc64__)
    return __builtin_ppc_get_timebase();
#else
    return 0;
#endif
  }
  static std::int64_t SteadyNanoseconds() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

template <class Source>
class BasicCycleClockEngine {
 public:
  // `window`: how long after construction the counter's rate is first measured.
  explicit BasicCycleClockEngine(CounterChoice choice, Source source = Source(),
                                 std::chrono::nanoseconds window = kCalibrationWindow) noexcept;

  BasicCycleClockEngine(const BasicCycleClockEngine&) = delete;
  BasicCycleClockEngine& operator=(const BasicCycleClockEngine&) = delete;

  // The time now in 100 ns units, at least `last`; stores it in `last`.
  std::int64_t Read(std::int64_t& last) noexcept {
    // Acquire: the line's fields were written before it was published.
    const Line* line = m_line.load(std::memory_order_acquire);
    if (__builtin_expect(line == nullptr, 0)) return ReadSteady(last);
    const std::uint64_t ticks = m_source.Counter();
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
  double CounterHz() const noexcept {
    const Line* line = m_line.load(std::memory_order_acquire);
    return line != nullptr ? line->hz : 0;
  }
  // How many lines have been published (1 after the first calibration).
  int Lines() const noexcept ZR_EXCLUDES(m_mutex) {
    zrperf::MutexLock lock(&m_mutex);
    return m_used;
  }

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
  std::int64_t SteadyUnits() const noexcept { return m_source.SteadyNanoseconds() / 100; }
  // The slow paths of Read(), out of line so that its fast path saves no
  // registers: the steady clock (and the switch when it is due), and a
  // reading that does a refinement first.
  __attribute__((noinline)) std::int64_t ReadSteady(std::int64_t& last) noexcept;
  __attribute__((noinline)) std::int64_t RefineAndRead(std::int64_t& last,
                                                       std::uint64_t ticks) noexcept;

  Pair MeasurePair(int tries) const noexcept;
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
  // Last, so that the fields the recording read loads keep their offsets
  // whatever the source's size (the process clock's source is empty).
  const Source m_source;
};

// The process clock's engine (instantiated once, in CycleClockEngine.cpp).
using CycleClockEngine = BasicCycleClockEngine<ProcessorTicks>;

namespace cycle_clock_detail {
// A pair is tried this many times; the narrowest is kept.
constexpr int kPairTries = 3;
// A step whose pair came out too wide is tried again this much later.
constexpr std::int64_t kRetryUnits = 10000;  // 1 ms
// The largest share of the rate's baseline that the two pairs' uncertainty
// may take: a rate good to 0.01 %.
constexpr double kPairShare = 1e-4;
// A re-measured rate further than this above or below the one in use
// disowns the counter.
constexpr double kMaxRateChange = 0.01;
}  // namespace cycle_clock_detail

template <class Source>
BasicCycleClockEngine<Source>::BasicCycleClockEngine(CounterChoice choice, Source source,
                                                     std::chrono::nanoseconds window) noexcept
    : m_window(window), m_declaredHz(choice.declaredHz), m_source(source) {
  if (!choice.useCounter) return;
  // Not on anyone's recording path: try harder for a narrow first pair.
  m_start = MeasurePair(4 * cycle_clock_detail::kPairTries);
  if (m_start.width == UINT64_MAX) return;  // the counter never moved forward
  if (m_declaredHz > 0) {
    zrperf::MutexLock lock(&m_mutex);
    Publish(m_start, m_start.nanoseconds / 100, m_declaredHz);
    return;
  }
  m_switchAt.store(m_start.nanoseconds / 100 + window.count() / 100, std::memory_order_relaxed);
}

template <class Source>
std::int64_t BasicCycleClockEngine<Source>::ReadSteady(std::int64_t& last) noexcept {
  // Relaxed: the offset changes only before the line is withdrawn, and the
  // acquire load of the line that saw that orders it.
  const std::int64_t now = SteadyUnits() + m_steadyOffset.load(std::memory_order_relaxed);
  if (__builtin_expect(now >= m_switchAt.load(std::memory_order_relaxed), 0)) Switch();
  return Keep(last, now);
}

template <class Source>
std::int64_t BasicCycleClockEngine<Source>::RefineAndRead(std::int64_t& last,
                                                          std::uint64_t ticks) noexcept {
  Refine(ticks);
  const Line* line = m_line.load(std::memory_order_acquire);
  if (line == nullptr) return ReadSteady(last);
  return Keep(last, Reading(*line, m_source.Counter()));
}

template <class Source>
typename BasicCycleClockEngine<Source>::Pair BasicCycleClockEngine<Source>::MeasurePair(
    int tries) const noexcept {
  Pair best;
  best.width = UINT64_MAX;
  for (int i = 0; i < tries; ++i) {
    const std::uint64_t before = m_source.Counter();
    const std::int64_t ns = m_source.SteadyNanoseconds();
    const std::uint64_t after = m_source.Counter();
    if (after < before || after - before >= best.width) continue;
    best.width = after - before;
    best.ticks = before + best.width / 2;
    best.nanoseconds = ns;
  }
  return best;
}

template <class Source>
bool BasicCycleClockEngine<Source>::Precise(const Pair& now) const noexcept {
  if (now.width == UINT64_MAX || m_start.width == UINT64_MAX || now.ticks <= m_start.ticks ||
      now.nanoseconds <= m_start.nanoseconds) {
    return false;
  }
  const double baseline = static_cast<double>(now.ticks - m_start.ticks);
  return static_cast<double>(now.width) + static_cast<double>(m_start.width) <=
         2 * cycle_clock_detail::kPairShare * baseline;
}

template <class Source>
double BasicCycleClockEngine<Source>::RateSinceStart(const Pair& now) const noexcept {
  return static_cast<double>(now.ticks - m_start.ticks) * 1e9 /
         static_cast<double>(now.nanoseconds - m_start.nanoseconds);
}

template <class Source>
void BasicCycleClockEngine<Source>::Publish(const Pair& now, std::int64_t base,
                                            double hz) noexcept {
  const TickScale scale = MakeTickScale(hz);
  if (scale.mult == 0) {  // no plausible counter: stay on the steady clock
    m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
    return;
  }
  Line& line = m_lines[m_used];
  line.tick0 = now.ticks;
  line.base = base;
  line.scale = scale;
  line.hz = hz;
  ++m_used;
  // The refinements are due 4, 40, 400... windows after the first pair; a
  // declared rate needs none.
  std::uint64_t refineAt = UINT64_MAX;
  if (m_declaredHz == 0 && m_used <= kRefinements) {
    const double windows = 4 * std::pow(10.0, m_used - 1);
    const double seconds = windows * static_cast<double>(m_window.count()) * 1e-9;
    refineAt = m_start.ticks + static_cast<std::uint64_t>(seconds * hz);
  }
  // Relaxed: hints for readers, who check again under the mutex.
  m_refineAt.store(refineAt, std::memory_order_relaxed);
  m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
  // Release: the line's fields are complete before a reader can see it.
  m_line.store(&line, std::memory_order_release);
}

template <class Source>
void BasicCycleClockEngine<Source>::Switch() noexcept {
  std::unique_lock<std::mutex> lock(m_mutex.Native(), std::try_to_lock);
  if (!lock.owns_lock()) return;
  m_mutex.AssertHeld();  // held by `lock` from here to the return
  if (m_forced || m_used > 0) return;
  const Pair now = MeasurePair(cycle_clock_detail::kPairTries);
  if (!Precise(now)) {
    m_switchAt.store(SteadyUnits() + cycle_clock_detail::kRetryUnits, std::memory_order_relaxed);
    return;
  }
  Publish(now, now.nanoseconds / 100 + m_steadyOffset.load(std::memory_order_relaxed),
          RateSinceStart(now));
}

template <class Source>
void BasicCycleClockEngine<Source>::Refine(std::uint64_t ticks) noexcept {
  std::unique_lock<std::mutex> lock(m_mutex.Native(), std::try_to_lock);
  if (!lock.owns_lock()) return;
  m_mutex.AssertHeld();  // held by `lock` from here to the return
  const Line* line = m_line.load(std::memory_order_relaxed);
  if (line == nullptr || ticks < m_refineAt.load(std::memory_order_relaxed)) return;
  const Pair now = MeasurePair(cycle_clock_detail::kPairTries);
  if (!Precise(now)) {
    m_refineAt.store(ticks + static_cast<std::uint64_t>(line->hz * 1e-3),
                     std::memory_order_relaxed);
    return;
  }
  const double hz = RateSinceStart(now);
  if (std::fabs(hz / line->hz - 1) > cycle_clock_detail::kMaxRateChange) {
    ToSteady(now.ticks, *line);
    return;
  }
  // The new line starts where the old one is at this pair: no jump.
  Publish(now, Reading(*line, now.ticks), hz);
}

template <class Source>
void BasicCycleClockEngine<Source>::ToSteady(std::uint64_t ticks, const Line& line) noexcept {
  const std::int64_t reading = Reading(line, ticks);
  m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
  m_refineAt.store(UINT64_MAX, std::memory_order_relaxed);
  // Relaxed: ordered before the release store of the null line, which readers acquire.
  m_steadyOffset.store(reading - SteadyUnits(), std::memory_order_relaxed);
  m_line.store(nullptr, std::memory_order_release);
  m_forced = true;
}

template <class Source>
void BasicCycleClockEngine<Source>::ForceSteady() noexcept {
  zrperf::MutexLock lock(&m_mutex);
  const Line* line = m_line.load(std::memory_order_relaxed);
  if (line != nullptr) {
    ToSteady(m_source.Counter(), *line);
  } else {
    m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
    m_forced = true;
  }
}

extern template class BasicCycleClockEngine<ProcessorTicks>;

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_CYCLECLOCKENGINE_H_
