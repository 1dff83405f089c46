// Internal to libzrperf-prometheus: the figures of a counter set as metric
// families of the plain model (MetricFamilies.h), for the text and protocol
// buffers formats alike.
//
// The families, names, help texts, labels and classic buckets are those that
// CPrometheusCollector::Collect() documents; in addition each elapsed-time
// histogram carries native buckets (NativeBuckets.h: schema 4, or lower under
// a bucket budget) read from the same snapshot as its classic buckets, so
// both describe the same samples and the count equals the zero count plus
// the native buckets' counts.
//
// Each histogram and counter series carries its start as a wall-clock time
// (CTimeCounterSnapshot::UnixNanosOf() of the snapshot's GetStart(): the counter's creation or the
// counter set's last Reset(), which replaces every counter); a series that
// sums several counters (names equal up to their first NUL) starts with the
// earliest of them.
//
// Thread-safety: as CPrometheusCollector::Collect(): any number of threads at
// once, while other threads record.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_COUNTERFAMILIES_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_COUNTERFAMILIES_H_

#include <zrperf/perf/PerfCounters.h>

#include <zrperf/export/prometheus/PrometheusCollector.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "MetricFamilies.h"

namespace zrprom {

// The classic boundaries of `options` (which CPrometheusCollector::CheckOptions()
// accepts) as schema-4 bucket indices, ascending: 2^(j/d) s for j from
// d * firstPower to d * lastPower is the upper bound of bucket 16 j / d.
std::vector<std::int32_t> ClassicBoundIndices(const CPrometheusCollector::Options& options);

// Feeds the families of `counters` (only zrperf_build_info when null), with
// the classic boundaries `boundIndices` (from ClassicBoundIndices()) and the
// native bucket budget `maxNativeBuckets` (0: none), to `sink`. Each counter
// is read once; one series is held at a time, apart from each series' label
// and extremes, which the families after the histograms need.
void WriteCounterFamilies(CPerfCounters* counters, const std::vector<std::int32_t>& boundIndices,
                          std::size_t maxNativeBuckets, FamilySink* sink);

// The same families, kept.
std::vector<Family> CollectFamilies(CPerfCounters* counters,
                                    const std::vector<std::int32_t>& boundIndices,
                                    std::size_t maxNativeBuckets);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_COUNTERFAMILIES_H_
