// CScopedTimeSample: adds the time from its construction to its destruction
// to a CTimeCounter as one sample; a null counter makes it do nothing.
//
//   {
//     CScopedTimeSample sample(counter.get());
//     ...                                      // the block's duration is one sample
//   }
//
// It costs two reads of the recording clock (CCycleClock: the processor's
// cycle counter where it is invariant, else steady_clock) and one AddSample.
// Used on one thread; the duration is never negative.
// REQUIRES: the counter outlives the timer.

#ifndef ZRPERF_COUNTERS_SCOPEDTIMESAMPLE_H_
#define ZRPERF_COUNTERS_SCOPEDTIMESAMPLE_H_

#include "TimeCounter.h"
#include "TimeStamp.h"

class CScopedTimeSample {
 public:
  explicit CScopedTimeSample(CTimeCounter* counter) noexcept
      : m_pCounter(counter), m_start(CTimeStamp::Now()) {}
  ~CScopedTimeSample() {
    if (m_pCounter != nullptr) m_pCounter->AddSample(ElapsedSince(m_start));
  }

  CScopedTimeSample(const CScopedTimeSample&) = delete;
  CScopedTimeSample& operator=(const CScopedTimeSample&) = delete;

 private:
  CTimeCounter* m_pCounter;
  CTimeStamp m_start;
};

#endif  // ZRPERF_COUNTERS_SCOPEDTIMESAMPLE_H_
