#include "ProtoExposition.h"

#include <limits>

#include <zrperf/export/internal/ProtoWriter.h>

namespace zrprom {

namespace {

// Field numbers of export/prometheus/proto/metrics.proto.
namespace family {
constexpr std::uint32_t kName = 1, kHelp = 2, kType = 3, kMetric = 4;
}
namespace metric {
constexpr std::uint32_t kLabel = 1, kGauge = 2, kCounter = 3, kHistogram = 7;
}
namespace label {
constexpr std::uint32_t kName = 1, kValue = 2;
}
constexpr std::uint32_t kValue = 1;           // of Gauge and Counter
constexpr std::uint32_t kCounterCreated = 3;  // of Counter
namespace timestamp {
constexpr std::uint32_t kSeconds = 1, kNanos = 2;
}
namespace histogram {
constexpr std::uint32_t kSampleCount = 1, kSampleSum = 2, kBucket = 3, kSchema = 5,
                        kZeroThreshold = 6, kZeroCount = 7, kPositiveSpan = 12, kPositiveDelta = 13,
                        kCreated = 15;
}
namespace bucket {
constexpr std::uint32_t kCumulativeCount = 1, kUpperBound = 2;
}
namespace span {
constexpr std::uint32_t kOffset = 1, kLength = 2;
}

void WriteBucket(zrexport::ProtoWriter& w, std::uint64_t cumulative, double bound) {
  const zrexport::ProtoWriter::Mark at = w.BeginMessage(histogram::kBucket);
  w.UInt64(bucket::kCumulativeCount, cumulative);
  w.Double(bucket::kUpperBound, bound);
  w.EndMessage(at);
}

// The series' start as a Timestamp: whole seconds since the Unix epoch and
// the nanoseconds after them (0 to 999,999,999); nothing when unknown.
void WriteCreated(zrexport::ProtoWriter& w, std::uint32_t field, std::int64_t unixNanos) {
  if (unixNanos == 0) return;
  std::int64_t seconds = unixNanos / 1000000000;
  std::int64_t nanos = unixNanos % 1000000000;
  if (nanos < 0) {
    --seconds;
    nanos += 1000000000;
  }
  const zrexport::ProtoWriter::Mark at = w.BeginMessage(field);
  w.UInt64(timestamp::kSeconds, static_cast<std::uint64_t>(seconds));  // int64: two's complement
  w.Int32(timestamp::kNanos, static_cast<std::int32_t>(nanos));
  w.EndMessage(at);
}

void WriteHistogram(zrexport::ProtoWriter& w, const Histogram& h, std::int64_t created,
                    std::vector<BucketSpan>* spans, std::vector<std::int64_t>* deltas) {
  const zrexport::ProtoWriter::Mark at = w.BeginMessage(metric::kHistogram);
  w.UInt64(histogram::kSampleCount, h.count);
  w.Double(histogram::kSampleSum, h.sum);
  for (const ClassicBucket& b : h.buckets) WriteBucket(w, b.cumulativeCount, b.upperBound);
  WriteBucket(w, h.count, std::numeric_limits<double>::infinity());
  WriteCreated(w, histogram::kCreated, created);
  if (h.native.present) {
    w.SInt32(histogram::kSchema, h.native.schema);
    w.Double(histogram::kZeroThreshold, h.native.zeroThreshold);
    w.UInt64(histogram::kZeroCount, h.native.zeroCount);
    EncodeNativeSpans(h.native.positive, spans, deltas);
    for (const BucketSpan& s : *spans) {
      const zrexport::ProtoWriter::Mark spanAt = w.BeginMessage(histogram::kPositiveSpan);
      w.SInt32(span::kOffset, s.offset);
      w.UInt64(span::kLength, s.length);
      w.EndMessage(spanAt);
    }
    w.PackedSInt64(histogram::kPositiveDelta, *deltas);
  }
  w.EndMessage(at);
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

DelimitedFamiliesSink::DelimitedFamiliesSink(std::string* out) : m_writer(out) {}

DelimitedFamiliesSink::~DelimitedFamiliesSink() = default;

void DelimitedFamiliesSink::BeginFamily(const Family& f) {
  m_type = f.type;
  m_family = m_writer.BeginDelimited();
  m_writer.String(family::kName, f.name);
  m_writer.String(family::kHelp, f.help);
  m_writer.Int32(family::kType, static_cast<std::int32_t>(f.type));
}

void DelimitedFamiliesSink::AddMetric(const Metric& m) {
  zrexport::ProtoWriter& w = m_writer;
  const zrexport::ProtoWriter::Mark metricAt = w.BeginMessage(family::kMetric);
  for (const Label& l : m.labels) {
    const zrexport::ProtoWriter::Mark labelAt = w.BeginMessage(metric::kLabel);
    w.String(label::kName, l.name);
    w.String(label::kValue, l.value);
    w.EndMessage(labelAt);
  }
  if (m_type == MetricType::kHistogram) {
    WriteHistogram(w, m.histogram, m.createdUnixNanos, &m_spans, &m_deltas);
  } else {
    const zrexport::ProtoWriter::Mark valueAt =
        w.BeginMessage(m_type == MetricType::kCounter ? metric::kCounter : metric::kGauge);
    w.Double(kValue, m.value);
    if (m_type == MetricType::kCounter) WriteCreated(w, kCounterCreated, m.createdUnixNanos);
    w.EndMessage(valueAt);
  }
  w.EndMessage(metricAt);
}

void DelimitedFamiliesSink::EndFamily() {
  m_writer.EndDelimited(m_family);
}

void DelimitedFamiliesSink::Finish() {
  m_writer.Finish();
}

void AppendDelimitedFamilies(const std::vector<Family>& families, std::string* out) {
  DelimitedFamiliesSink sink(out);
  WriteFamilies(families, &sink);
}

}  // namespace zrprom
