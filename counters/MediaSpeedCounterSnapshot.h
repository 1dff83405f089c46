// CMediaSpeedCounterSnapshot: the totals of one CMediaSpeedCounter at one
// moment (transfers, bytes, time), and the totals of the transfers recorded
// between two such moments, with their throughput.
//
//   const CMediaSpeedCounterSnapshot before = speed.GetSnapshot();
//   ...                                              // transfers arrive
//   const CMediaSpeedCounterSnapshot interval = speed.GetSnapshot().Since(before);
//   double mbps = interval.GetThroughput();          // MB/s of the interval
//
// A snapshot is read in one pass under the counter's mutex (see
// CMediaSpeedCounter::GetSnapshot()), with the counter's never-torn
// guarantee: a transfer in flight may show in some totals and not yet in
// others; once recording stops a snapshot is exact. Transfers, bytes and time
// of a difference are exact (the counter keeps its sums in 128 bits), and so
// is its throughput; the getters hold bytes and time at their largest values.
//
// Size: 64 bytes. Thread-safety: a plain value; const use from any number of
// threads.

#ifndef ZRPERF_COUNTERS_MEDIASPEEDCOUNTERSNAPSHOT_H_
#define ZRPERF_COUNTERS_MEDIASPEEDCOUNTERSNAPSHOT_H_

#include <chrono>
#include <cstdint>
#include <string>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/TimeInterval.h>

class CMediaSpeedCounter;

class ZRFW_EXPORT CMediaSpeedCounterSnapshot {
 public:
  // No transfers, of no counter (GetCounterId() 0).
  CMediaSpeedCounterSnapshot();

  unsigned long long GetTransfers() const noexcept;
  unsigned long long GetBytes() const noexcept;  // held at the largest value
  CTimeInterval GetTime() const noexcept;        // summed time, held at the largest value
  // Bytes over summed time in MB/s (1 MB = 1,000,000 bytes), from the exact
  // sums; 0 when the time is 0.
  double GetThroughput() const noexcept;

  // As CTimeCounterSnapshot: the counter's process-unique id (0 for a
  // default-built snapshot), and the span whose transfers the totals hold.
  std::uint64_t GetCounterId() const noexcept { return m_nCounterId; }
  std::chrono::steady_clock::time_point GetStart() const noexcept { return m_start; }
  std::chrono::steady_clock::time_point GetEnd() const noexcept { return m_end; }

  // The totals of the transfers counted here and not in `earlier`; this
  // snapshot whole when `earlier` was read from another counter (or is
  // default-built). REQUIRES: `earlier` was read before this snapshot.
  CMediaSpeedCounterSnapshot Since(const CMediaSpeedCounterSnapshot& earlier) const;

  // The text of CMediaSpeedCounter::AsString() for these totals.
  std::string AsString() const;

 private:
  friend class CMediaSpeedCounter;
  __extension__ typedef unsigned __int128 Wide;

  Wide m_nBytes = 0;
  Wide m_nTime = 0;  // 100 ns units
  std::uint64_t m_nTransfers = 0;
  std::uint64_t m_nCounterId = 0;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_end;
};

#endif  // ZRPERF_COUNTERS_MEDIASPEEDCOUNTERSNAPSHOT_H_
