// Internal to libzrperf-prometheus: metric families as plain structs, the
// one model that the text format (ExpositionText.h) and the protocol buffers
// format (ProtoExposition.h) are both written from.
//
// A family has a name, a help text, a unit (a suffix of the name, or empty),
// a type and its series (Metric). A series carries its labels and, by the
// family's type, either `value` (counter, gauge) or `histogram`; a counter or
// histogram series also its start (`createdUnixNanos`: when its counts began
// from zero, the counter's creation or last Reset()), which the formats that
// know it write as a created timestamp. A histogram holds its classic buckets (the +Inf
// bucket is implied: its count is `count`) and, when `native.present`, its
// native buckets of the exponential schema `native.schema`: bucket i counts
// the samples in (2^((i-1) / 2^schema), 2^(i / 2^schema)], the zero bucket
// those of at most `zeroThreshold`. Both describe the same samples.
//
// A FamilySink takes families one series at a time, so that a scrape of a
// large set need not hold every series at once: BeginFamily(), then each
// series with AddMetric(), then EndFamily(); families follow one another.
// WriteFamilies() feeds a whole vector to a sink; FamilyCollector keeps what
// it is fed.
//
// Plain values; thread-safety is that of std::vector. A sink is used by one
// thread at a time.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_METRICFAMILIES_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_METRICFAMILIES_H_

#include <zrperf/counters/TimeCounterSnapshot.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zrprom {

// The numbers are those of the exposition format's MetricType enum.
enum class MetricType : int { kCounter = 0, kGauge = 1, kHistogram = 4 };

struct Label {
  std::string name;
  std::string value;
};

struct ClassicBucket {
  double upperBound;              // finite, ascending within a histogram
  std::uint64_t cumulativeCount;  // samples of at most upperBound
};

// A native bucket is the engine's lowered bucket (index at the histogram's
// schema, count), so that a snapshot is lowered straight into the model.
using NativeBucket = CTimeCounterSnapshot::LoweredBucket;

struct NativeHistogram {
  bool present = false;
  std::int32_t schema = 0;
  double zeroThreshold = 0;
  std::uint64_t zeroCount = 0;
  std::vector<NativeBucket> positive;  // ascending index, each index once
};

struct Histogram {
  std::uint64_t count = 0;
  double sum = 0;
  std::vector<ClassicBucket> buckets;
  NativeHistogram native;
};

struct Metric {
  std::vector<Label> labels;
  double value = 0;     // counter and gauge
  Histogram histogram;  // histogram
  // Counter and histogram: the start of the series in ns since the Unix
  // epoch; 0 when unknown (nothing is written then).
  std::int64_t createdUnixNanos = 0;
};

struct Family {
  std::string name;
  std::string help;
  std::string unit;  // "seconds", "bytes" or empty; the name ends in "_" + unit
  MetricType type = MetricType::kGauge;
  std::vector<Metric> metrics;
};

// Receives families series by series. BeginFamily() is given the family's
// name, help, unit and type (its `metrics` are not read); every family begun has at
// least one series.
class FamilySink {
 public:
  virtual ~FamilySink() = default;
  virtual void BeginFamily(const Family& family) = 0;
  virtual void AddMetric(const Metric& metric) = 0;
  virtual void EndFamily() = 0;
};

// Feeds `families` to `sink`, leaving out those without series.
void WriteFamilies(const std::vector<Family>& families, FamilySink* sink);

// A sink that keeps the families it is fed.
class FamilyCollector final : public FamilySink {
 public:
  void BeginFamily(const Family& family) override;
  void AddMetric(const Metric& metric) override;
  void EndFamily() override {}
  std::vector<Family>& families() { return m_families; }

 private:
  std::vector<Family> m_families;
};

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_METRICFAMILIES_H_
