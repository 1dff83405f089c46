// CMediaSpeedCounter: a data-throughput counter. It keeps how many transfers
// it has, the bytes they moved and the time they took.
//
//   boost::shared_ptr<CMediaSpeedCounter>& speed = counters.GetMediaSpeedCounter("TapeWrite");
//   if (speed) speed->AddTransfer(bytesWritten, elapsed);
//
// The throughput is the bytes over the summed time of the transfers: the rate
// of one transfer stream. Two threads that each move 100 MB in the same
// second give 100 MB/s, not 200.
//
// Thread-safety: any number of threads may record into one counter while
// others read it. Recording takes no lock and, after a thread's first record
// into the counter, allocates nothing: each recording thread writes a slot of
// its own, which readers add up under the counter's mutex. A read that runs
// while transfers arrive sees each field of a transfer either counted or not
// yet (never a torn value); once recording stops every read is exact. A
// thread that ends folds its slot into the counter and frees it.
//
// Times are CTimeInterval values (100 ns units); a negative time counts as 0.
// The byte and time totals are held at their largest values rather than wrap;
// the throughput stays exact past them (the sums are kept in 128 bits).
//
// REQUIRES: no thread records into or reads the counter while it is destroyed.

#ifndef ZRPERF_COUNTERS_MEDIASPEEDCOUNTER_H_
#define ZRPERF_COUNTERS_MEDIASPEEDCOUNTER_H_

#include <chrono>
#include <climits>
#include <string>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include <zrperf/sync/TimeInterval.h>
#include "MediaSpeedCounterSnapshot.h"
// Internal, embedded by value so that recording needs no indirection (layout kept stable):
#include <zrperf/counters/internal/ThreadSlots.h>

// The framework's debug-event channel. The counter accepts a pointer to one
// and keeps none; hosts pass null.
class EvDebug;

class ZRFW_EXPORT CMediaSpeedCounter {
 public:
  // No transfers. `debug` may be null; it is not used.
  explicit CMediaSpeedCounter(EvDebug* debug) noexcept;
  virtual ~CMediaSpeedCounter();

  CMediaSpeedCounter(const CMediaSpeedCounter&) = delete;
  CMediaSpeedCounter& operator=(const CMediaSpeedCounter&) = delete;

  // Adds one transfer of `bytes` that took `elapsed`. Never throws and never
  // drops a transfer.
  void AddTransfer(unsigned long long bytes, const CTimeInterval& elapsed) noexcept;

  // The bytes of all transfers.
  unsigned long long GetTotalBytes() const;
  // The number of transfers.
  unsigned long long GetTotalTransfers() const;
  // The summed time of all transfers.
  CTimeInterval GetTotalTime() const;

  // One line. Without transfers: "transfers=0". Otherwise, for example:
  //   "transfers=2 bytes=3000000 time=1.50s throughput=2.00MB/s"
  // time is written as CTimeCounter::AsString() writes durations; the
  // throughput is bytes over time in MB/s (1 MB = 1,000,000 bytes) with two
  // decimals, or "n/a" when the total time is 0.
  std::string AsString() const;

  // Transfers, bytes and time from one read under the counter's mutex; see
  // MediaSpeedCounterSnapshot.h. Allocates nothing.
  CMediaSpeedCounterSnapshot GetSnapshot() const;

 private:
  struct Slot;
  struct Totals {
    unsigned long long transfers = 0;
    zrfw::Uint128 bytes = 0;
    zrfw::Uint128 time = 0;  // 100 ns units
  };
  Totals Read() const ZR_EXCLUDES(m_owner.Mutex());
  // Moves a slot's byte and time sums into m_folded when this transfer would
  // carry one past the largest value, and restarts them at the transfer.
  void FoldSums(Slot& slot, unsigned long long bytes, unsigned long long units) noexcept
      ZR_EXCLUDES(m_owner.Mutex());

  zrfw::SlotOwner m_owner;
  const std::chrono::steady_clock::time_point m_created;
  Totals m_folded ZR_GUARDED_BY(m_owner.Mutex());  // exited threads' transfers
};

#endif  // ZRPERF_COUNTERS_MEDIASPEEDCOUNTER_H_
