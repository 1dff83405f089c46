// ThroughputRecord: a statistics callback that writes throughput counters.
//
// The counter set writes only its elapsed-time counters. Added to the logger
// with AddStatsCallback(), this callback gives the throughput counters a
// record of their own in every statistics pass, in the same layout:
//
//   "Throughput Stats: " + for each counter that gained transfers since the
//                          previous record, in ascending byte order of names:
//                          "\n\t\t\t\t" + name + ": " + counter->AsString() +
//                          " interval=" + MB/s since the previous record
//
// The interval figure is the throughput of the transfers since the previous
// record that wrote the counter (or since the counter's creation), from the
// difference of two snapshots, in MB/s with two decimals ("n/a" when they
// took no time); the lifetime figure and the interval figure come from the
// same read.
// written through g_ptrLogWriter at level 0 when the sink's level admits it.
// When no counter gained transfers, nothing is written and the sink is not
// asked. Null handles are skipped.
//
//   logger->AddStatsCallback(ThroughputRecord(counters));
//
// Thread-safety: copies share their state; calls from several threads (the
// log thread's pass and a pass run by the host) are serialised by a mutex.

#ifndef ZRPERF_EXAMPLES_THROUGHPUTRECORD_H_
#define ZRPERF_EXAMPLES_THROUGHPUTRECORD_H_

#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include <zrperf/zrperf.h>

#include <map>
#include <memory>
#include <string>

namespace zrdemo {

class ThroughputRecord {
 public:
  using Counters = std::map<std::string, boost::shared_ptr<CMediaSpeedCounter>>;

  explicit ThroughputRecord(Counters counters);

  // Writes the record of the counters that gained transfers.
  void operator()() const;

 private:
  struct State {
    zrperf::Mutex mutex;  // one record at a time
    Counters counters;    // set before the record is shared, then only read
    // Each counter's snapshot at the last record that wrote it.
    std::map<std::string, CMediaSpeedCounterSnapshot> lastLogged ZR_GUARDED_BY(mutex);
  };
  std::shared_ptr<State> m_pState;
};

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_THROUGHPUTRECORD_H_
