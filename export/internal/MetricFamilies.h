// Internal to libzrperf-prometheus: metric families as plain structs, the
// one model that the text format (ExpositionText.h) and the protocol buffers
// format (ProtoExposition.h) are both written from.
//
// A family has a name, a help text, a type and its series (Metric). A series
// carries its labels and, by the family's type, either `value` (counter,
// gauge) or `histogram`. A histogram holds its classic buckets (the +Inf
// bucket is implied: its count is `count`) and, when `native.present`, its
// native buckets of the exponential schema `native.schema`: bucket i counts
// the samples in (2^((i-1) / 2^schema), 2^(i / 2^schema)], the zero bucket
// those of at most `zeroThreshold`. Both describe the same samples.
//
// Plain values; thread-safety is that of std::vector.

#ifndef ZRPERF_EXPORT_INTERNAL_METRICFAMILIES_H_
#define ZRPERF_EXPORT_INTERNAL_METRICFAMILIES_H_

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

struct NativeBucket {
  std::int32_t index;
  std::uint64_t count;
};

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
};

struct Family {
  std::string name;
  std::string help;
  MetricType type = MetricType::kGauge;
  std::vector<Metric> metrics;
};

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_INTERNAL_METRICFAMILIES_H_
