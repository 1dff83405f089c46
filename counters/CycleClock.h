// CCycleClock: the monotonic clock that the recording paths read
// (CScopedTimeSample, CTimeStamp). It reads the processor's own counter where
// that is safe and cheap, and std::chrono::steady_clock everywhere else:
//
//   x86-64  the time stamp counter (rdtsc), when /proc/cpuinfo declares it
//           invariant ("constant_tsc" and "nonstop_tsc"); about 11 ns a read
//           against about 26 ns for steady_clock.
//   ppc64   the time base register, at the "timebase" rate of /proc/cpuinfo
//           (measured when the text has none, as under an emulator).
//   others, or without those flags: std::chrono::steady_clock.
//
//   std::int64_t start = CCycleClock::Now();
//   ...
//   CTimeInterval took(CCycleClock::Now() - start);
//
// Readings are 100 ns units on the steady clock's scale. The processor is
// examined when the library loads. The clock starts on the steady clock; the
// first reading 25 ms after load measures the counter's rate against the
// steady clock and switches to it, and readings at 0.1 s, 1 s, 10 s, 100 s
// and 1000 s refine the rate. A refined rate more than 1 % above or below the
// one in use means the counter is not what its flags said: the clock goes
// back to steady_clock for good, continuing from where the counter was. No
// reading waits for that work: a reading costs at most about a microsecond
// more when it does a step. The counter's line
// starts where the steady clock is, so a timing that spans the switch is
// still right to within a few tens of nanoseconds. Measured here, the rate
// agrees with steady_clock to within 0.005 % from the first second on, for
// spans from 10 us to 10 s (see docs/clock.md).
//
// A reading is never below the previous reading of the same thread: the clock
// never runs backwards for one thread, even when it moves to another
// processor. Readings taken on two threads may be a little out of order.
//
// A host that does not trust the processor's counter calls ForceSteadyClock()
// once, best before anything is timed; later readings come from
// steady_clock and continue from where the counter was.
//
// Thread-safety: every function may be called from any thread at any time.

#ifndef ZRPERF_COUNTERS_CYCLECLOCK_H_
#define ZRPERF_COUNTERS_CYCLECLOCK_H_

#include <cstdint>

#include <zrperf/sync/Export.h>

class ZRFW_EXPORT CCycleClock {
 public:
  CCycleClock() = delete;

  // The time now, in 100 ns units; never below this thread's previous reading.
  static std::int64_t Now() noexcept;

  // Reads std::chrono::steady_clock from now on, for the rest of the process.
  static void ForceSteadyClock() noexcept;

  // What Now() reads at this moment: "tsc", "timebase" or "steady_clock".
  static const char* SourceName() noexcept;

  // The counter's rate in use, in ticks a second; 0 on the steady clock.
  static double CounterHz() noexcept;
};

#endif  // ZRPERF_COUNTERS_CYCLECLOCK_H_
