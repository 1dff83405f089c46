#include "PrometheusCollector.h"

#include <prometheus/client_metric.h>
#include <prometheus/metric_type.h>
#include <prometheus/text_serializer.h>
#include <zrperf/Version.h>
#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/TimeCounterSnapshot.h>

#include <algorithm>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <utility>

#include "internal/LabelValue.h"

namespace {

// The counters' histogram splits powers of two up to [2^35, 2^36); its last
// bucket, from 2^35 * 31/16 units up, is open-ended, so 2^35 - 1 is the last
// boundary published.
constexpr unsigned kMaxPower = 35;
// Units to seconds by division: the quotient is the double nearest to the
// exact decimal, so that 95 units print as 9.5e-06, not 9.499999999999999e-06.
constexpr double kUnitsPerSecond = 1e7;

const char kLabel[] = "counter";

// The figures of one exported series of an elapsed-time counter: the sum of
// every counter whose name maps to its label.
struct ElapsedSeries {
  std::string label;
  std::uint64_t count = 0;
  double seconds = 0.0;  // the sum of the samples
  double minSeconds = 0.0;
  double maxSeconds = 0.0;
  std::vector<std::uint64_t> perBound;  // samples per boundary, not cumulative; last: above all
};

double Seconds(const CTimeInterval& t) {
  return static_cast<double>(t.Get100ns()) / kUnitsPerSecond;
}

// Adds one counter's figures to `series`. Every boundary is the high end of a
// histogram bucket, so a bucket lies wholly at or below the first boundary at
// or above its high end, and wholly above the boundary before it.
//
// The count is the sum of the buckets, not the snapshot's own count: a
// snapshot taken while samples arrive may hold a sample in its buckets and not
// yet in its count (or the other way round), and a +Inf bucket below a finite
// one would break every quantile read from the series. Once recording stops
// the two agree.
void AddSnapshot(const CTimeCounterSnapshot& snap, const std::vector<std::uint64_t>& bounds,
                 ElapsedSeries* series) {
  std::uint64_t count = 0;
  for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) {
    const std::size_t i = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), b.high) - bounds.begin());
    series->perBound[i] += b.count;
    count += b.count;
  }
  if (count == 0) return;
  const double min = Seconds(snap.GetMin());
  series->minSeconds = series->count == 0 ? min : std::min(series->minSeconds, min);
  series->maxSeconds = std::max(series->maxSeconds, Seconds(snap.GetMax()));
  series->count += count;
  series->seconds += Seconds(snap.GetTotal());
}

prometheus::ClientMetric::Label CounterLabel(const std::string& value) {
  return prometheus::ClientMetric::Label{kLabel, value};
}

prometheus::MetricFamily Family(const char* name, const char* help, prometheus::MetricType type) {
  prometheus::MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

}  // namespace

bool CPrometheusCollector::CheckOptions(const Options& options, std::string* why) {
  std::string reason;
  const unsigned d = options.bucketsPerPower;
  if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) {
    reason = "bucketsPerPower must be 1, 2, 4, 8 or 16, not " + std::to_string(d);
  } else if (options.lastPower > kMaxPower) {
    reason = "lastPower must be at most " + std::to_string(kMaxPower) + ", not " +
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
    : m_counters(std::move(counters)) {
  std::string why;
  if (!CheckOptions(options, &why)) throw std::invalid_argument("CPrometheusCollector: " + why);
  const std::uint64_t d = options.bucketsPerPower;
  for (unsigned k = options.firstPower; k < options.lastPower; ++k) {
    const std::uint64_t power = std::uint64_t{1} << k;
    for (std::uint64_t j = 0; j < d; ++j) {
      if ((power * j) % d != 0) continue;  // not a whole number of units
      m_bounds.push_back(power + power * j / d - 1);
    }
  }
  m_bounds.push_back((std::uint64_t{1} << options.lastPower) - 1);
  m_bounds.erase(std::unique(m_bounds.begin(), m_bounds.end()), m_bounds.end());
  for (std::uint64_t b : m_bounds)
    m_boundSeconds.push_back(static_cast<double>(b) / kUnitsPerSecond);
}

CPrometheusCollector::~CPrometheusCollector() = default;

std::vector<prometheus::MetricFamily> CPrometheusCollector::Collect() const {
  using prometheus::MetricType;
  prometheus::MetricFamily elapsed =
      Family("zrperf_elapsed_seconds", "Elapsed time of the samples of each time counter.",
             MetricType::Histogram);
  prometheus::MetricFamily minimum =
      Family("zrperf_elapsed_min_seconds",
             "Shortest sample of each time counter since it started; 0 without samples.",
             MetricType::Gauge);
  prometheus::MetricFamily maximum =
      Family("zrperf_elapsed_max_seconds",
             "Longest sample of each time counter since it started; 0 without samples.",
             MetricType::Gauge);
  prometheus::MetricFamily bytes =
      Family("zrperf_transferred_bytes_total",
             "Bytes moved by the transfers of each throughput counter.", MetricType::Counter);
  prometheus::MetricFamily transfers = Family(
      "zrperf_transfers_total", "Transfers of each throughput counter.", MetricType::Counter);
  prometheus::MetricFamily transferSeconds =
      Family("zrperf_transfer_seconds_total",
             "Summed time of the transfers of each throughput counter.", MetricType::Counter);
  prometheus::MetricFamily buildInfo =
      Family("zrperf_build_info", "The zrperf library version; always 1.", MetricType::Gauge);

  if (m_counters) {
    const CPerfCounters::TimeCounterList timeCounters = m_counters->ListTimeCounters();
    std::vector<ElapsedSeries> series;
    series.reserve(timeCounters.size());
    for (const auto& [name, handle] : timeCounters) {
      std::string label = zrprom::LabelValueOf(name);
      // Names equal up to their first NUL are adjacent in the list.
      if (series.empty() || series.back().label != label) {
        series.emplace_back();
        series.back().label = std::move(label);
        series.back().perBound.assign(m_bounds.size() + 1, 0);
      }
      if (handle) AddSnapshot(handle->GetSnapshot(), m_bounds, &series.back());
    }

    elapsed.metric.resize(series.size());
    minimum.metric.resize(series.size());
    maximum.metric.resize(series.size());
    for (std::size_t s = 0; s < series.size(); ++s) {
      const ElapsedSeries& e = series[s];
      prometheus::ClientMetric& h = elapsed.metric[s];
      h.label.push_back(CounterLabel(e.label));
      h.histogram.sample_count = e.count;
      h.histogram.sample_sum = e.seconds;
      h.histogram.bucket.resize(m_bounds.size() + 1);
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i < m_bounds.size(); ++i) {
        cumulative += e.perBound[i];
        h.histogram.bucket[i].cumulative_count = cumulative;
        h.histogram.bucket[i].upper_bound = m_boundSeconds[i];
      }
      h.histogram.bucket.back().cumulative_count = e.count;
      h.histogram.bucket.back().upper_bound = std::numeric_limits<double>::infinity();

      minimum.metric[s].label.push_back(CounterLabel(e.label));
      minimum.metric[s].gauge.value = e.minSeconds;
      maximum.metric[s].label.push_back(CounterLabel(e.label));
      maximum.metric[s].gauge.value = e.maxSeconds;
    }

    const CPerfCounters::MediaSpeedCounterList speedCounters = m_counters->ListMediaSpeedCounters();
    std::string previous;
    for (const auto& [name, handle] : speedCounters) {
      std::string label = zrprom::LabelValueOf(name);
      const CMediaSpeedCounterSnapshot snap =
          handle ? handle->GetSnapshot() : CMediaSpeedCounterSnapshot();
      if (bytes.metric.empty() || previous != label) {
        for (prometheus::MetricFamily* f : {&bytes, &transfers, &transferSeconds}) {
          f->metric.emplace_back();
          f->metric.back().label.push_back(CounterLabel(label));
        }
        previous = std::move(label);
      }
      double& b = bytes.metric.back().counter.value;
      double& t = transfers.metric.back().counter.value;
      double& sec = transferSeconds.metric.back().counter.value;
      b += static_cast<double>(snap.GetBytes());
      t += static_cast<double>(snap.GetTransfers());
      sec += Seconds(snap.GetTime());
    }
  }

  buildInfo.metric.resize(1);
  buildInfo.metric[0].label.push_back(
      prometheus::ClientMetric::Label{"version", ZRPERF_VERSION_STRING});
  buildInfo.metric[0].gauge.value = 1;

  std::vector<prometheus::MetricFamily> families;
  families.reserve(7);
  for (prometheus::MetricFamily* f :
       {&elapsed, &minimum, &maximum, &bytes, &transfers, &transferSeconds, &buildInfo}) {
    // A family without a series (no counter of its kind yet) is left out.
    if (!f->metric.empty()) families.push_back(std::move(*f));
  }
  return families;
}

namespace {

// A stream buffer that appends to a string reserved up front: the text of a
// large set is megabytes, which a std::ostringstream would copy on every
// doubling of its buffer and once more to hand it out.
class StringAppendBuffer : public std::streambuf {
 public:
  explicit StringAppendBuffer(std::string* text) : m_text(text) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
      m_text->push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    m_text->append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  std::string* m_text;
};

}  // namespace

std::string CPrometheusCollector::SerializeText() const {
  const std::vector<prometheus::MetricFamily> families = Collect();
  std::string text;
  // The previous text's size, plus a little, is nearly always enough.
  text.reserve(m_lastTextSize.load(std::memory_order_relaxed) * 9 / 8 + 4096);
  StringAppendBuffer buffer(&text);
  std::ostream out(&buffer);
  prometheus::TextSerializer().Serialize(out, families);
  // Relaxed: only a size hint; a stale value costs a reallocation at most.
  m_lastTextSize.store(text.size(), std::memory_order_relaxed);
  return text;
}
