#include "PrometheusCollector.h"

#include <prometheus/client_metric.h>
#include <prometheus/metric_type.h>
#include <prometheus/text_serializer.h>
#include <zrperf/Version.h>
#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/TimeCounterSnapshot.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <utility>

#include <zrperf/export/prometheus/internal/CounterFamilies.h>
#include <zrperf/export/prometheus/internal/ExpositionText.h>

namespace {

// The counters' buckets end at 2^(i/16) s; the last one, past 2^(207/16) s,
// is open-ended, so 2^12 s is the last power whose boundary is exact, and
// the first bucket holds 100 ns, below 2^-23 s.
constexpr int kMinPower = -23;
constexpr int kMaxPower = 12;

prometheus::MetricType TypeOf(zrprom::MetricType type) {
  switch (type) {
    case zrprom::MetricType::kCounter:
      return prometheus::MetricType::Counter;
    case zrprom::MetricType::kHistogram:
      return prometheus::MetricType::Histogram;
    case zrprom::MetricType::kGauge:
      break;
  }
  return prometheus::MetricType::Gauge;
}

// One family of the shared model in prometheus-cpp's form (classic buckets
// only: its model has no native fields).
prometheus::MetricFamily Converted(const zrprom::Family& from) {
  prometheus::MetricFamily family;
  family.name = from.name;
  family.help = from.help;
  family.type = TypeOf(from.type);
  family.metric.resize(from.metrics.size());
  for (std::size_t s = 0; s < from.metrics.size(); ++s) {
    const zrprom::Metric& m = from.metrics[s];
    prometheus::ClientMetric& to = family.metric[s];
    for (const zrprom::Label& l : m.labels)
      to.label.push_back(prometheus::ClientMetric::Label{l.name, l.value});
    switch (from.type) {
      case zrprom::MetricType::kCounter:
        to.counter.value = m.value;
        break;
      case zrprom::MetricType::kGauge:
        to.gauge.value = m.value;
        break;
      case zrprom::MetricType::kHistogram: {
        const zrprom::Histogram& h = m.histogram;
        to.histogram.sample_count = h.count;
        to.histogram.sample_sum = h.sum;
        to.histogram.bucket.resize(h.buckets.size() + 1);
        for (std::size_t i = 0; i < h.buckets.size(); ++i) {
          to.histogram.bucket[i].cumulative_count = h.buckets[i].cumulativeCount;
          to.histogram.bucket[i].upper_bound = h.buckets[i].upperBound;
        }
        to.histogram.bucket.back().cumulative_count = h.count;
        to.histogram.bucket.back().upper_bound = std::numeric_limits<double>::infinity();
        break;
      }
    }
  }
  return family;
}

}  // namespace

bool CPrometheusCollector::CheckOptions(const Options& options, std::string* why) {
  std::string reason;
  const unsigned d = options.bucketsPerPower;
  if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) {
    reason = "bucketsPerPower must be 1, 2, 4, 8 or 16, not " + std::to_string(d);
  } else if (options.firstPower < kMinPower || options.lastPower > kMaxPower) {
    reason = "the powers must lie in [" + std::to_string(kMinPower) + ", " +
             std::to_string(kMaxPower) + "], not " + std::to_string(options.firstPower) + ".." +
             std::to_string(options.lastPower);
  } else if (options.firstPower >= options.lastPower) {
    reason = "firstPower (" + std::to_string(options.firstPower) + ") must be below lastPower (" +
             std::to_string(options.lastPower) + ")";
  }
  if (why != nullptr) *why = reason;
  return reason.empty();
}

CPrometheusCollector::CPrometheusCollector(boost::shared_ptr<CPerfCounters> counters)
    : CPrometheusCollector(std::move(counters), Options()) {}

CPrometheusCollector::CPrometheusCollector(boost::shared_ptr<CPerfCounters> counters,
                                           const Options& options)
    : m_counters(std::move(counters)), m_maxNativeBuckets(options.maxNativeBuckets) {
  std::string why;
  if (!CheckOptions(options, &why)) throw std::invalid_argument("CPrometheusCollector: " + why);
  m_boundIndex = zrprom::ClassicBoundIndices(options);
  for (const std::int32_t index : m_boundIndex)
    m_bounds.push_back(CTimeCounterSnapshot::BucketUpperUnits(index));
}

CPrometheusCollector::~CPrometheusCollector() = default;

std::vector<prometheus::MetricFamily> CPrometheusCollector::Collect() const {
  const std::vector<zrprom::Family> families =
      zrprom::CollectFamilies(m_counters.get(), m_boundIndex, m_maxNativeBuckets);
  std::vector<prometheus::MetricFamily> converted;
  converted.reserve(families.size());
  for (const zrprom::Family& f : families) converted.push_back(Converted(f));
  return converted;
}

std::string CPrometheusCollector::SerializeText() const {
  std::string text;
  // The previous text's size, plus a little, is nearly always enough.
  text.reserve(m_lastTextSize.load(std::memory_order_relaxed) * 9 / 8 + 4096);
  zrprom::ExpositionTextSink sink(&text);
  zrprom::WriteCounterFamilies(m_counters.get(), m_boundIndex, m_maxNativeBuckets, &sink);
  // Relaxed: only a size hint; a stale value costs a reallocation at most.
  m_lastTextSize.store(text.size(), std::memory_order_relaxed);
  return text;
}
