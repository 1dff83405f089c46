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

#include "internal/LabelValue.h"

namespace {

// The counters' buckets end at 2^(i/16) s; the last one, past 2^(207/16) s,
// is open-ended, so 2^12 s is the last power whose boundary is exact, and
// the first bucket holds 100 ns, below 2^-23 s.
constexpr int kMinPower = -23;
constexpr int kMaxPower = 12;
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

// Adds one counter's figures to `series`. Every boundary is the upper bound
// of a counter bucket (schema-4 index `bounds[i]`), so a bucket lies wholly at
// or below the first boundary at or above its own index, and wholly above the
// boundary before it; the zero bucket lies below every boundary.
//
// The count is the sum of the buckets, not the snapshot's own count: a
// snapshot taken while samples arrive may hold a sample in its buckets and not
// yet in its count (or the other way round), and a +Inf bucket below a finite
// one would break every quantile read from the series. Once recording stops
// the two agree.
void AddSnapshot(const CTimeCounterSnapshot& snap, const std::vector<std::int32_t>& bounds,
                 ElapsedSeries* series) {
  std::uint64_t count = snap.GetZeroCount();
  series->perBound[0] += count;
  for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) {
    const std::size_t i = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), b.index) - bounds.begin());
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
    : m_counters(std::move(counters)) {
  std::string why;
  if (!CheckOptions(options, &why)) throw std::invalid_argument("CPrometheusCollector: " + why);
  // 2^(j/d) s for j from d * firstPower to d * lastPower: schema-4 index 16 j / d.
  const int step = 16 / static_cast<int>(options.bucketsPerPower);
  for (int index = 16 * options.firstPower; index <= 16 * options.lastPower; index += step) {
    m_boundIndex.push_back(index);
    m_bounds.push_back(CTimeCounterSnapshot::BucketUpperUnits(index));
    m_boundSeconds.push_back(CTimeCounterSnapshot::BucketUpperSeconds(index));
  }
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
      if (handle) AddSnapshot(handle->GetSnapshot(), m_boundIndex, &series.back());
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

// `value` as Go's strconv.FormatFloat(value, 'g', -1, 64) writes it, which is
// how Prometheus writes an `le`: the shortest digits that read back as
// `value`, in exponent form when the exponent is below -4 or at least 21.
std::string ShortestText(double value) {
  char sci[40];  // at most 24 characters, and the end of the text
  const std::to_chars_result end =
      std::to_chars(sci, sci + sizeof(sci) - 1, value, std::chars_format::scientific);
  *end.ptr = '\0';
  const char* e = std::find(sci, end.ptr, 'e');
  const int exponent = std::atoi(e + 1);
  if (exponent < -4 || exponent >= 21) return std::string(sci, end.ptr);
  std::string digits(1, sci[0]);
  if (sci + 1 < e)
    digits.append(sci + 2, static_cast<std::size_t>(e - (sci + 2)));  // after the point
  if (exponent < 0)
    return "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) return digits + std::string(whole - digits.size(), '0');
  return digits.substr(0, whole) + "." + digits.substr(whole);
}

// prometheus-cpp writes a double with 16 significant digits, which for some
// 2^(j/d) (2^(1/2): "1.414213562373095") reads back as another double than
// the boundary: each such `le` text is replaced with the shortest one.
void ExactBoundaryTexts(const std::vector<double>& bounds, std::string* text) {
  std::vector<std::pair<std::string, std::string>> fixes;
  for (double bound : bounds) {
    char written[40];
    std::snprintf(written, sizeof(written), "%.*g", std::numeric_limits<double>::digits10 + 1,
                  bound);
    std::string exact = ShortestText(bound);
    if (exact != written)
      fixes.emplace_back("le=\"" + std::string(written) + "\"", "le=\"" + exact + "\"");
  }
  if (fixes.empty()) return;
  std::string out;
  out.reserve(text->size() + text->size() / 64);
  std::size_t from = 0;
  for (std::size_t at = text->find("le=\""); at != std::string::npos;
       at = text->find("le=\"", at + 1)) {
    for (const auto& [written, exact] : fixes) {
      if (text->compare(at, written.size(), written) != 0) continue;
      out.append(*text, from, at - from).append(exact);
      from = at + written.size();
      break;
    }
  }
  if (from == 0) return;
  out.append(*text, from, std::string::npos);
  text->swap(out);
}

}  // namespace

std::string CPrometheusCollector::SerializeText() const {
  const std::vector<prometheus::MetricFamily> families = Collect();
  std::string text;
  // The previous text's size, plus a little, is nearly always enough.
  text.reserve(m_lastTextSize.load(std::memory_order_relaxed) * 9 / 8 + 4096);
  StringAppendBuffer buffer(&text);
  std::ostream out(&buffer);
  prometheus::TextSerializer().Serialize(out, families);
  ExactBoundaryTexts(m_boundSeconds, &text);
  // Relaxed: only a size hint; a stale value costs a reallocation at most.
  m_lastTextSize.store(text.size(), std::memory_order_relaxed);
  return text;
}
