// Internal to libzrperf-prometheus: metric families in the Prometheus
// protocol buffers exposition format, Content-Type
//   application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; encoding=delimited
// a stream of io.prometheus.client.MetricFamily messages (export/prometheus/proto/metrics.proto),
// each preceded by its length as a varint.
//
// Every field of the model is written, zeros included (a gauge of 0 carries
// its value field), so a reader never has to tell a zero from an absent field.
// A histogram carries its classic buckets and the +Inf bucket; when its native
// part is present also schema, zero_threshold, zero_count, the positive spans
// and the deltas of EncodeNativeSpans(). A counter or histogram series whose
// start is known carries it as created_timestamp (a google.protobuf.Timestamp).
// A family without series is left out.
//
// Thread-safety: pure functions; a sink is used by one thread at a time.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_PROTOEXPOSITION_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_PROTOEXPOSITION_H_

#include <cstdint>
#include <string>
#include <vector>

#include <zrperf/export/internal/ProtoWriter.h>
#include "MetricFamilies.h"

namespace zrprom {

struct BucketSpan {
  std::int32_t offset;
  std::uint32_t length;
};

// The largest gap of empty buckets EncodeNativeSpans() keeps inside a span
// (as zero counts, which the bucket budget counts: NativeBuckets.h).
constexpr std::int64_t kMaxGapInSpan = 2;

// The spans and deltas of a native histogram's buckets, as Prometheus reads
// them: the first span's offset is the first bucket's index; a later span's
// offset is the number of empty buckets between the end of the span before it
// and its first bucket. A gap of up to kMaxGapInSpan empty buckets stays
// inside a span (as zero counts: cheaper than a new span); a longer gap
// starts a new one.
// Each delta is a bucket's count minus the previous bucket's (the first one's
// minus 0). Buckets of count 0 in `buckets` are treated as absent. Without
// buckets: one span of offset 0 and length 0 (which marks the histogram as
// native) and no delta.
void EncodeNativeSpans(const std::vector<NativeBucket>& buckets, std::vector<BucketSpan>* spans,
                       std::vector<std::int64_t>* deltas);

// Appends each family it is fed, length-delimited, to `out`; `out` holds them
// once Finish() has been called or the sink is destroyed (ProtoWriter.h).
class DelimitedFamiliesSink final : public FamilySink {
 public:
  explicit DelimitedFamiliesSink(std::string* out);
  ~DelimitedFamiliesSink() override;
  void BeginFamily(const Family& family) override;
  void AddMetric(const Metric& metric) override;
  void EndFamily() override;
  void Finish();

 private:
  zrexport::ProtoWriter m_writer;
  zrexport::ProtoWriter::Mark m_family{0};
  MetricType m_type = MetricType::kGauge;
  // The spans and deltas of one histogram at a time, kept across histograms
  // so that a scrape allocates them once.
  std::vector<BucketSpan> m_spans;
  std::vector<std::int64_t> m_deltas;
};

// Appends `families`, length-delimited, to `out`.
void AppendDelimitedFamilies(const std::vector<Family>& families, std::string* out);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_PROTOEXPOSITION_H_
