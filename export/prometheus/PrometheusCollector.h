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
// exact. The counters keep their samples in the buckets of Prometheus native
// histograms at schema 4, which end at 2^(i/16) s; the boundaries published
// are such bucket ends, those of schema 0 to 4:
//   le = 2^(j/d) s,  d = bucketsPerPower,  d * firstPower <= j <= d * lastPower,
// then +Inf. A bucket therefore counts exactly the samples of at most its
// `le` (in 100 ns units: at most the floor of 2^(j/d) * 10^7). The `le`
// values are the doubles nearest to 2^(j/d), which the text format writes
// in their shortest round-trip form ("9.5367431640625e-07" for 2^-20,
// "1.4142135623730951" for 2^(1/2)). No boundary lies past 2^12 s (68
// minutes): the counters' last, open-ended bucket begins at 2^(207/16) s.
//
// Defaults: 1 boundary per power of two from 2^-20 s (0.95 us) to 2^7 s
// (128 s): 28 boundaries and +Inf, each bucket twice as wide as the one
// before. An elapsed-time counter is then 29 bucket series + _sum + _count +
// the min and max gauges = 33 series; a throughput counter is 3. Density 2
// gives 55 boundaries and 60 series per counter, density 4 gives 109 and 114.
//
// Native buckets: the protobuf answer of CPrometheusEndpoint also carries
// each histogram's native buckets, at schema 4 exactly as the counters keep
// them; a counter that saw both 100 ns and 10 s then carries about 430. With
// a budget (Options::maxNativeBuckets; Mimir and hosted backends recommend
// or enforce 160), a histogram whose spans would hold more buckets goes out at the
// largest schema from 4 down to -4 at which it fits, each bucket the exact
// sum of the schema-4 buckets it covers (every lower schema's boundaries are
// schema 4's), so that a backend gets an exact histogram at the finest
// resolution it accepts. The budget counts what Prometheus counts against
// its native_histogram_bucket_limit: the buckets in the spans, the empty ones
// written inside a span included. At -4 the counters' whole range is 3
// buckets, so only a budget of 1 or 2 can fail to fit: such a histogram goes
// out at -4 anyway, and the scrape succeeds. The zero bucket, the classic
// buckets and the text formats (Collect(), SerializeText(), the textfile)
// are the same under any budget.
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

#ifndef ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSCOLLECTOR_H_
#define ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSCOLLECTOR_H_

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
    // Boundaries per power of two: 1, 2, 4, 8 or 16 (schema 0 to 4).
    unsigned bucketsPerPower = 1;
    // The boundaries run from 2^firstPower s to 2^lastPower s;
    // -23 <= firstPower < lastPower <= 12.
    int firstPower = -20;
    int lastPower = 7;
    // The most native buckets a histogram's spans hold (see above); 0: no
    // budget, every histogram at schema 4.
    std::size_t maxNativeBuckets = 0;
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
  // samples of at most this many units (the floor of its `le` in units).
  const std::vector<std::uint64_t>& BoundUnits() const noexcept { return m_bounds; }

 private:
  boost::shared_ptr<CPerfCounters> m_counters;
  std::vector<std::int32_t> m_boundIndex;  // the boundaries as schema-4 bucket indices
  std::vector<std::uint64_t> m_bounds;
  std::size_t m_maxNativeBuckets = 0;
  mutable std::atomic<std::size_t> m_lastTextSize{0};  // SerializeText()'s last size
};

#endif  // ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSCOLLECTOR_H_
