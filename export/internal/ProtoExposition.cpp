#include "ProtoExposition.h"

#include <limits>

#include "ProtoWriter.h"

namespace zrprom {

namespace {

// Field numbers of export/proto/metrics.proto.
namespace family {
constexpr std::uint32_t kName = 1, kHelp = 2, kType = 3, kMetric = 4;
}
namespace metric {
constexpr std::uint32_t kLabel = 1, kGauge = 2, kCounter = 3, kHistogram = 7;
}
namespace label {
constexpr std::uint32_t kName = 1, kValue = 2;
}
constexpr std::uint32_t kValue = 1;  // of Gauge and Counter
namespace histogram {
constexpr std::uint32_t kSampleCount = 1, kSampleSum = 2, kBucket = 3, kSchema = 5,
                        kZeroThreshold = 6, kZeroCount = 7, kPositiveSpan = 12, kPositiveDelta = 13;
}
namespace bucket {
constexpr std::uint32_t kCumulativeCount = 1, kUpperBound = 2;
}
namespace span {
constexpr std::uint32_t kOffset = 1, kLength = 2;
}

// The largest gap of empty buckets kept inside a span.
constexpr std::int64_t kMaxGapInSpan = 2;

void WriteBucket(zrproto::ProtoWriter& w, std::uint64_t cumulative, double bound) {
  const std::size_t at = w.BeginMessage();
  w.UInt64(bucket::kCumulativeCount, cumulative);
  w.Double(bucket::kUpperBound, bound);
  w.EndMessage(histogram::kBucket, at);
}

void WriteHistogram(zrproto::ProtoWriter& w, const Histogram& h) {
  const std::size_t at = w.BeginMessage();
  w.UInt64(histogram::kSampleCount, h.count);
  w.Double(histogram::kSampleSum, h.sum);
  for (const ClassicBucket& b : h.buckets) WriteBucket(w, b.cumulativeCount, b.upperBound);
  WriteBucket(w, h.count, std::numeric_limits<double>::infinity());
  if (h.native.present) {
    w.SInt32(histogram::kSchema, h.native.schema);
    w.Double(histogram::kZeroThreshold, h.native.zeroThreshold);
    w.UInt64(histogram::kZeroCount, h.native.zeroCount);
    std::vector<BucketSpan> spans;
    std::vector<std::int64_t> deltas;
    EncodeNativeSpans(h.native.positive, &spans, &deltas);
    for (const BucketSpan& s : spans) {
      const std::size_t spanAt = w.BeginMessage();
      w.SInt32(span::kOffset, s.offset);
      w.UInt64(span::kLength, s.length);
      w.EndMessage(histogram::kPositiveSpan, spanAt);
    }
    w.PackedSInt64(histogram::kPositiveDelta, deltas);
  }
  w.EndMessage(metric::kHistogram, at);
}

}  // namespace

void EncodeNativeSpans(const std::vector<NativeBucket>& buckets, std::vector<BucketSpan>* spans,
                       std::vector<std::int64_t>* deltas) {
  spans->clear();
  deltas->clear();
  std::int64_t next = 0;  // the index just past the last bucket written
  std::uint64_t previous = 0;
  for (const NativeBucket& b : buckets) {
    if (b.count == 0) continue;
    const std::int64_t gap = std::int64_t{b.index} - next;
    if (spans->empty() || gap > kMaxGapInSpan) {
      spans->push_back(BucketSpan{static_cast<std::int32_t>(gap), 0});
    } else {
      for (std::int64_t i = 0; i < gap; ++i) {
        ++spans->back().length;
        deltas->push_back(-static_cast<std::int64_t>(previous));
        previous = 0;
      }
    }
    ++spans->back().length;
    deltas->push_back(static_cast<std::int64_t>(b.count - previous));
    previous = b.count;
    next = std::int64_t{b.index} + 1;
  }
  if (spans->empty()) spans->push_back(BucketSpan{0, 0});
}

void AppendDelimitedFamilies(const std::vector<Family>& families, std::string* out) {
  zrproto::ProtoWriter w(out);
  for (const Family& f : families) {
    if (f.metrics.empty()) continue;
    const std::size_t familyAt = w.BeginMessage();
    w.String(family::kName, f.name);
    w.String(family::kHelp, f.help);
    w.Int32(family::kType, static_cast<std::int32_t>(f.type));
    for (const Metric& m : f.metrics) {
      const std::size_t metricAt = w.BeginMessage();
      for (const Label& l : m.labels) {
        const std::size_t labelAt = w.BeginMessage();
        w.String(label::kName, l.name);
        w.String(label::kValue, l.value);
        w.EndMessage(metric::kLabel, labelAt);
      }
      if (f.type == MetricType::kHistogram) {
        WriteHistogram(w, m.histogram);
      } else {
        const std::size_t valueAt = w.BeginMessage();
        w.Double(kValue, m.value);
        w.EndMessage(f.type == MetricType::kCounter ? metric::kCounter : metric::kGauge, valueAt);
      }
      w.EndMessage(family::kMetric, metricAt);
    }
    w.EndDelimited(familyAt);
  }
}

}  // namespace zrprom
