// CTimeCounter: an elapsed-time counter. It keeps how many samples it has,
// their total, mean, spread, extremes and percentiles.
//
//   boost::shared_ptr<CTimeCounter>& counter = counters.GetCounter("ReadBlock");
//   {
//     CScopedTimeSample sample(counter.get());  // null handle: measures nothing
//     ...                                      // the block's duration is one sample
//   }
//   log(counter->AsString());
//
// Thread-safety: any number of threads may record into one counter while
// others read it. Recording takes no lock (but for a sample of 2^32 units,
// about 7 minutes, or more, whose square is added under the counter's mutex)
// and, after a thread's first record into the counter, allocates nothing:
// each recording thread writes a slot of its own, which readers add up under
// the counter's mutex. A read that runs
// while samples arrive sees each field of a sample either counted or not yet
// (never a torn value), so the fields of one read may differ by the samples in
// flight; once recording stops every read is exact. GetTotalSamples() never
// goes down. A thread that ends folds its slot into the counter (its samples
// stay) and frees it.
//
// Durations are CTimeInterval values (100 ns units); a negative duration
// counts as 0. Count, total, minimum and maximum are exact; the total is held
// at the largest value rather than wrap, while the mean stays exact (the sum
// is kept in 128 bits), so it never leaves [minimum, maximum]. The standard
// deviation is exact too, rounded to 100 ns: the counter keeps the sum of the
// squared samples as an integer and computes it from the integers when read
// (see TimeCounterSnapshot.h for its one bound). Percentiles
// come from a histogram with the buckets of Prometheus native histograms at
// schema 4 (16 per power of two, see TimeCounterSnapshot.h) and lie within
// 2.2 % (2^(1/32) - 1 = 2.19 %, plus half a 100 ns unit of rounding below
// 22.6 us) of the exact value for durations up to 2^13 s (about 2.3 hours),
// and never outside [minimum, maximum].
//
// Memory: about 4.7 KiB per counter, plus 2.4 KiB for each thread recording
// into it while that thread lives.
//
// REQUIRES: no thread records into or reads the counter while it is destroyed.

#ifndef ZRPERF_COUNTERS_TIMECOUNTER_H_
#define ZRPERF_COUNTERS_TIMECOUNTER_H_

#include <chrono>
#include <cstdint>
#include <string>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include <zrperf/sync/TimeInterval.h>
#include "TimeCounterSnapshot.h"
// Internal, embedded by value so that recording needs no indirection (layout kept stable):
#include <zrperf/counters/internal/ThreadSlots.h>
#include <zrperf/counters/internal/TimeFigures.h>

class ZRFW_EXPORT CTimeCounter {
 public:
  // No samples.
  CTimeCounter() noexcept;
  // Not virtual: the class is not a base.
  ~CTimeCounter();

  CTimeCounter(const CTimeCounter&) = delete;
  CTimeCounter& operator=(const CTimeCounter&) = delete;

  // Adds one sample. Never throws and never drops a sample. Inline: a thread
  // that already has its slot in the counter writes it here (about three
  // stores); its first sample, and the rare one that must fold a field into
  // the counter, take AddSampleSlow(). The library also exports it, for
  // callers built before it was inline.
  inline void AddSample(const CTimeInterval& elapsed) noexcept;

  // The number of samples so far.
  long long GetTotalSamples() const;
  // The sum of the samples.
  CTimeInterval GetTotal() const;
  // The shortest and the longest sample; 0 while there is none.
  CTimeInterval GetMin() const;
  CTimeInterval GetMax() const;
  // The arithmetic mean, rounded to the nearest 100 ns; 0 while there is no sample.
  CTimeInterval GetMean() const;
  // The sample at `fraction` of the sorted samples (0.5 the median, 0.99 the
  // 99th percentile): the rank ceil(fraction * count) (at least 1), read from
  // the histogram and kept within [GetMin(), GetMax()]; 0 gives the minimum
  // and 1 the maximum exactly. A fraction outside [0, 1] is taken as the
  // nearer end. 0 while there is no sample.
  CTimeInterval GetPercentile(double fraction) const;

  // One line. Without samples: "samples=0". Otherwise, for example:
  //   "samples=1200 total=1.52s mean=1.26ms stddev=310.20us min=700ns p50=1.21ms
  //    p90=1.66ms p99=2.30ms p99.9=4.10ms max=12.50ms"
  // (on one line). stddev is the population standard deviation. Each duration
  // is written in the largest unit in which it is at least 1: "ns" below
  // 1 us (a whole number, a multiple of 100), otherwise "us" below 1 ms, "ms"
  // below 1 s and "s" from 1 s up, with two decimals, truncated (999.99us is
  // followed by 1.00ms).
  std::string AsString() const;

  // Every figure above from one read under the counter's mutex, with the
  // histogram's non-empty buckets; see TimeCounterSnapshot.h. The bucket
  // list is allocated after the mutex is released.
  CTimeCounterSnapshot GetSnapshot() const;

 private:
  struct Slot;
  // The first sample of a thread in this counter, or one that folds its
  // slot's sums (their squares would pass 64 bits) or bucket (at its fold
  // point) into the counter, or one recorded under the mutex when the thread
  // can get no slot.
  void AddSampleSlow(std::uint64_t units) noexcept;
  // The figures, with the bucket list when `withBuckets` (for percentiles).
  CTimeCounterSnapshot Snapshot(bool withBuckets) const ZR_EXCLUDES(m_owner.Mutex());
  void ReadLocked(zrfw::TimeFigures& figures) const ZR_REQUIRES(m_owner.Mutex());
  // Under the mutex: adds the sample to m_folded, with the slot's total, sum
  // of squares and the sample's bucket, which restart at 0 (the extremes
  // stay in the slot).
  void Fold(zrfw::TimeSlotFields& slot, std::uint64_t units) noexcept ZR_EXCLUDES(m_owner.Mutex());
  // Records a sample under the mutex, for a thread that could get no slot.
  void AddLocked(std::uint64_t units) noexcept ZR_EXCLUDES(m_owner.Mutex());

  zrfw::SlotOwner m_owner;
  const std::chrono::steady_clock::time_point m_created;
  // Exited threads' samples and folded buckets.
  zrfw::TimeFigures m_folded ZR_GUARDED_BY(m_owner.Mutex());
};

inline void CTimeCounter::AddSample(const CTimeInterval& elapsed) noexcept {
  const std::uint64_t units =
      elapsed.Get100ns() > 0 ? static_cast<std::uint64_t>(elapsed.Get100ns()) : 0;
  zrfw::ThreadSlot* slot = m_owner.Cached();
  // This thread is the slot's only writer.
  if (__builtin_expect(slot == nullptr || !zrfw::TimeSlot::FieldsOf(slot).TryAdd(units), 0)) {
    AddSampleSlow(units);
  }
}

// CScopedTimeSample, which times a block into a counter, has a header of its
// own; every includer of this one gets it too.
#include "ScopedTimeSample.h"  // IWYU pragma: export

#endif  // ZRPERF_COUNTERS_TIMECOUNTER_H_
