// CTimeStamp: the start of a timing that ends somewhere else (another
// function, a completion callback), read from the recording clock
// (CCycleClock) and turned into a CTimeInterval by ElapsedSince().
//
//   const CTimeStamp start = CTimeStamp::Now();
//   ...
//   speed->AddTransfer(bytes, ElapsedSince(start));
//
// For a timing that is one block of code, CScopedTimeSample does both ends.
// Thread-safety: a value type; Now() and ElapsedSince() from any thread. An
// end on another thread than the start may come out a little short, never
// negative.

#ifndef ZRPERF_COUNTERS_TIMESTAMP_H_
#define ZRPERF_COUNTERS_TIMESTAMP_H_

#include <cstdint>

#include <zrperf/sync/TimeInterval.h>
#include "CycleClock.h"

class CTimeStamp {
 public:
  // The time now.
  static CTimeStamp Now() noexcept { return CTimeStamp(CCycleClock::Now()); }

  // The reading in 100 ns units (CCycleClock's scale).
  std::int64_t Get100ns() const noexcept { return m_units; }

 private:
  explicit CTimeStamp(std::int64_t units) noexcept : m_units(units) {}
  std::int64_t m_units;
};

// The span from the reading `start` to the later reading `end` (100 ns units
// of CCycleClock); 0 when `end` is below `start`, as it may be when the two
// were read on different threads.
inline CTimeInterval SpanBetween(std::int64_t start, std::int64_t end) noexcept {
  const std::int64_t span = end - start;
  return CTimeInterval(span > 0 ? span : 0);
}

// The time from `start` to now; 0 if the clock read now is below `start`.
inline CTimeInterval ElapsedSince(const CTimeStamp& start) noexcept {
  return SpanBetween(start.Get100ns(), CCycleClock::Now());
}

#endif  // ZRPERF_COUNTERS_TIMESTAMP_H_
