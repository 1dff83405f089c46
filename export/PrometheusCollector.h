// CPrometheusCollector: the figures of a counter set as Prometheus metric
// families, for prometheus-cpp's text serializer and HTTP endpoint.
//
//   auto collector = std::make_shared<CPrometheusCollector>(logger->GetPerfCounters());
//   exposer.RegisterCollectable(collector);        // or: collector->SerializeText()
//
// Each Collect() reads every counter registered in the set at that moment
// and returns these families, each series labelled counter="<name>":
//
//   zrperf_elapsed_seconds           histogram of each elapsed-time counter
//   zrperf_elapsed_min_seconds       gauge, the shortest sample (0 without samples)
//   zrperf_elapsed_max_seconds       gauge, the longest sample (0 without samples)
//   zrperf_transferred_bytes_total   counter, bytes of each throughput counter
//   zrperf_transfers_total           counter, its transfers
//   zrperf_transfer_seconds_total    counter, their summed time
//   zrperf_build_info{version="…"}   gauge, always 1
//
// Histogram boundaries are fixed by the options alone (the same in every
// process and every scrape, whatever the data) and every bucket count is
// exact. A duration is a whole number of 100 ns units, and the counters keep
// them in a log-linear histogram whose buckets end just before
// 2^k * (1 + i/16) units. The boundaries published are such bucket ends:
//   le = (2^k * (1 + j/d) - 1) * 100 ns,  d = bucketsPerPower,
//   for firstPower <= k < lastPower and j = 0..d-1, then k = lastPower, j = 0
// (below 16 units every value has a bucket of its own, so any whole number is
// a bucket end; a fractional one is skipped), then +Inf. A bucket therefore
// counts exactly the samples of at most its `le`: a sample of 2^k units lies in
// the next bucket, one of 2^k - 1 units in this one. No boundary lies past
// 2^35 units (about 57 minutes), where the counters' last, open-ended bucket
// begins to gather longer samples.
//
// Defaults: 1 boundary per power of two from 2^3 to 2^30 units, that is
// 0.7 us, 1.5 us, 3.1 us, 6.3 us, 12.7 us, ... 53.7 s, 107.4 s: 28 boundaries
// and +Inf, each bucket twice as wide as the one before. An elapsed-time
// counter is then 29 bucket series + _sum + _count + the min and max gauges
// = 33 series; a throughput counter is 3. Density 2 gives 55 boundaries and
// 60 series per counter, density 4 gives 109 and 114.
//
// Names: the label value is the name up to its first NUL, made valid UTF-8:
// valid UTF-8 passes unchanged; '%', control bytes, DEL and every byte outside
// a well-formed UTF-8 sequence become "%XX". The mapping is one-to-one, so two
// names never share a series, except names equal up to their first NUL, which
// the statistics record does not tell apart either: they are exported as one
// series that adds their figures up.
//
// A counter without samples is exported with zero counts, so its series never
// disappear. CPerfCounters::Reset() starts every counter from zero, which
// Prometheus reads as a counter reset (rate() and increase() handle it).
//
// Thread-safety: Collect() and SerializeText() may run on any number of
// threads at once, while other threads record. The set's lock is held only to
// copy the list of counters; each counter is then read on its own, which never
// blocks a recording thread.

#ifndef ZRPERF_EXPORT_PROMETHEUSCOLLECTOR_H_
#define ZRPERF_EXPORT_PROMETHEUSCOLLECTOR_H_

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <zrperf/perf/PerfCounters.h>
#include <zrperf/sync/Export.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ZRPERF_EXPORT CPrometheusCollector : public prometheus::Collectable {
 public:
  struct Options {
    // Boundaries per power of two: 1, 2, 4, 8 or 16.
    unsigned bucketsPerPower = 1;
    // The boundaries run from 2^firstPower - 1 to 2^lastPower - 1 units of
    // 100 ns; 0 <= firstPower < lastPower <= 35.
    unsigned firstPower = 3;
    unsigned lastPower = 30;
  };

  // Whether `options` are usable; if not, `why` (when given) says why.
  static bool CheckOptions(const Options& options, std::string* why = nullptr);

  // Collects `counters` (a null set gives only zrperf_build_info) with the
  // default options.
  explicit CPrometheusCollector(boost::shared_ptr<CPerfCounters> counters);
  // The same with `options`. Throws std::invalid_argument when CheckOptions()
  // rejects them.
  CPrometheusCollector(boost::shared_ptr<CPerfCounters> counters, const Options& options);
  ~CPrometheusCollector() override;

  CPrometheusCollector(const CPrometheusCollector&) = delete;
  CPrometheusCollector& operator=(const CPrometheusCollector&) = delete;

  std::vector<prometheus::MetricFamily> Collect() const override;

  // Collect() in the text exposition format, without timestamps.
  std::string SerializeText() const;

  // The finite boundaries, ascending, in 100 ns units: a bucket counts the
  // samples of at most this many units.
  const std::vector<std::uint64_t>& BoundUnits() const noexcept { return m_bounds; }

 private:
  boost::shared_ptr<CPerfCounters> m_counters;
  std::vector<std::uint64_t> m_bounds;
  std::vector<double> m_boundSeconds;                  // the same in seconds, the `le` values
  mutable std::atomic<std::size_t> m_lastTextSize{0};  // SerializeText()'s last size
};

#endif  // ZRPERF_EXPORT_PROMETHEUSCOLLECTOR_H_
