#include "OtlpPayload.h"

#include <algorithm>
#include <limits>

#include <zrperf/export/internal/LabelValue.h>
#include <zrperf/export/internal/ProtoWriter.h>

namespace zrotlp {

namespace {

using zrexport::ProtoWriter;

constexpr double kUnitsPerSecond = 1e7;  // CTimeInterval counts 100 ns units

// Field numbers of export/otlp/proto/otlp_metrics.proto, by message.
namespace request {  // ExportMetricsServiceRequest
constexpr std::uint32_t kResourceMetrics = 1;
}
namespace resource_metrics {
constexpr std::uint32_t kResource = 1, kScopeMetrics = 2;
}
namespace resource {
constexpr std::uint32_t kAttributes = 1;
}
namespace scope_metrics {
constexpr std::uint32_t kScope = 1, kMetrics = 2;
}
namespace scope {  // InstrumentationScope
constexpr std::uint32_t kName = 1, kVersion = 2;
}
namespace key_value {
constexpr std::uint32_t kKey = 1, kValue = 2;
}
namespace any_value {
constexpr std::uint32_t kStringValue = 1, kIntValue = 3;
}
namespace metric {
constexpr std::uint32_t kName = 1, kDescription = 2, kUnit = 3, kSum = 7,
                        kExponentialHistogram = 10;
}
namespace sum {
constexpr std::uint32_t kDataPoints = 1, kAggregationTemporality = 2, kIsMonotonic = 3;
}
namespace number_point {  // NumberDataPoint
constexpr std::uint32_t kAttributes = 7, kStartTimeUnixNano = 2, kTimeUnixNano = 3, kAsDouble = 4,
                        kAsInt = 6;
}
namespace exponential_histogram {
constexpr std::uint32_t kDataPoints = 1, kAggregationTemporality = 2;
}
namespace histogram_point {  // ExponentialHistogramDataPoint
constexpr std::uint32_t kAttributes = 1, kStartTimeUnixNano = 2, kTimeUnixNano = 3, kCount = 4,
                        kSum = 5, kScale = 6, kZeroCount = 7, kPositive = 8, kMin = 12, kMax = 13;
}
namespace buckets {  // ExponentialHistogramDataPoint.Buckets
constexpr std::uint32_t kOffset = 1, kBucketCounts = 2;
}
constexpr std::uint32_t kDelta = 1;       // AGGREGATION_TEMPORALITY_DELTA
constexpr std::uint32_t kCumulative = 2;  // AGGREGATION_TEMPORALITY_CUMULATIVE

// The label of the counter named `name`: the whole name, each piece between
// NULs encoded as the Prometheus label value is and each NUL as "%00" (the
// form of the other control bytes), so that distinct names stay distinct.
std::string LabelOf(const std::string& name) {
  std::string label;
  for (std::size_t from = 0;;) {
    const std::size_t nul = name.find('\0', from);
    label += zrexport::LabelValueOf(name.substr(from, nul - from));
    if (nul == std::string::npos) return label;
    label += "%00";
    from = nul + 1;
  }
}

void StringAttribute(ProtoWriter& w, std::uint32_t field, const std::string& key,
                     const std::string& value) {
  const ProtoWriter::Mark kv = w.BeginMessage(field);
  w.String(key_value::kKey, key);
  const ProtoWriter::Mark any = w.BeginMessage(key_value::kValue);
  w.String(any_value::kStringValue, value);
  w.EndMessage(any);
  w.EndMessage(kv);
}

void IntAttribute(ProtoWriter& w, std::uint32_t field, const std::string& key, std::int64_t value) {
  const ProtoWriter::Mark kv = w.BeginMessage(field);
  w.String(key_value::kKey, key);
  const ProtoWriter::Mark any = w.BeginMessage(key_value::kValue);
  w.UInt64(any_value::kIntValue, static_cast<std::uint64_t>(value));  // int64
  w.EndMessage(any);
  w.EndMessage(kv);
}

// Metric name, description and unit; the data message follows.
void MetricHeader(ProtoWriter& w, const char* name, const char* description, const char* unit) {
  w.String(metric::kName, name);
  w.String(metric::kDescription, description);
  w.String(metric::kUnit, unit);
}

void WriteHistogramPoint(ProtoWriter& w, const RequestContext& context, const std::string& label,
                         const HistogramPoint& p) {
  const ProtoWriter::Mark at = w.BeginMessage(exponential_histogram::kDataPoints);
  StringAttribute(w, histogram_point::kAttributes, "counter", label);
  w.Fixed64(histogram_point::kStartTimeUnixNano, UnixNanos(context, p.start));
  w.Fixed64(histogram_point::kTimeUnixNano, UnixNanos(context, p.end));
  w.Fixed64(histogram_point::kCount, p.count);
  w.Double(histogram_point::kSum, p.sum);
  w.SInt32(histogram_point::kScale, p.scale);
  w.Fixed64(histogram_point::kZeroCount, p.zeroCount);
  if (!p.counts.empty()) {
    const ProtoWriter::Mark positive = w.BeginMessage(histogram_point::kPositive);
    w.SInt32(buckets::kOffset, p.offset);
    w.PackedUInt64(buckets::kBucketCounts, p.counts);
    w.EndMessage(positive);
  }
  if (p.count > 0) {
    w.Double(histogram_point::kMin, p.min);
    w.Double(histogram_point::kMax, p.max);
  }
  w.EndMessage(at);
}

// A NumberDataPoint of a monotonic sum, integer or double.
void WriteSumPoint(ProtoWriter& w, const RequestContext& context, const char* attribute,
                   const std::string& label, std::chrono::steady_clock::time_point start,
                   std::chrono::steady_clock::time_point end, bool isDouble, std::uint64_t asInt,
                   double asDouble) {
  const ProtoWriter::Mark at = w.BeginMessage(sum::kDataPoints);
  StringAttribute(w, number_point::kAttributes, attribute, label);
  w.Fixed64(number_point::kStartTimeUnixNano, UnixNanos(context, start));
  w.Fixed64(number_point::kTimeUnixNano, UnixNanos(context, end));
  if (isDouble) {
    w.Double(number_point::kAsDouble, asDouble);
  } else {
    // sfixed64: values past INT64_MAX are held there.
    w.Fixed64(number_point::kAsInt,
              std::min<std::uint64_t>(asInt, std::numeric_limits<std::int64_t>::max()));
  }
  w.EndMessage(at);
}

// The figures of one throughput counter.
struct SpeedPoint {
  std::string label;
  std::uint64_t bytes = 0;
  std::uint64_t transfers = 0;
  double seconds = 0.0;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point end;
};

}  // namespace

std::int32_t ScaleWithin(std::int32_t first, std::int32_t last, std::size_t maxBuckets) {
  if (maxBuckets == 0) return kScale;
  for (int s = CTimeCounterSnapshot::kMaxSchema; s > CTimeCounterSnapshot::kMinSchema; --s) {
    const std::int32_t span = CTimeCounterSnapshot::LoweredIndex(last, s) -
                              CTimeCounterSnapshot::LoweredIndex(first, s) + 1;  // >= 1
    if (static_cast<std::size_t>(span) <= maxBuckets) return s;
  }
  return CTimeCounterSnapshot::kMinSchema;  // at most 2 buckets: up to 1 s and above
}

HistogramPoint HistogramPointOf(const CTimeCounterSnapshot& snap, std::size_t maxBuckets,
                                std::vector<CTimeCounterSnapshot::LoweredBucket>* lowered) {
  HistogramPoint p;
  p.count = snap.GetCount();
  p.sum = static_cast<double>(snap.GetTotal().Get100ns()) / kUnitsPerSecond;
  p.min = static_cast<double>(snap.GetMin().Get100ns()) / kUnitsPerSecond;
  p.max = static_cast<double>(snap.GetMax().Get100ns()) / kUnitsPerSecond;
  p.start = snap.GetStart();
  p.end = snap.GetEnd();
  p.zeroCount = snap.GetZeroCount();
  const std::vector<CTimeCounterSnapshot::Bucket>& buckets = snap.GetBuckets();
  if (!buckets.empty()) {
    p.scale = ScaleWithin(buckets.front().index, buckets.back().index, maxBuckets);
    // Bucket j of schema s holds (2^((j-1)/2^s), 2^(j/2^s)] s; OTLP bucket k
    // at scale s holds (base^k, base^(k+1)]: the OTLP index is j - 1.
    const auto dense = [&p](const auto& list) {
      const std::int32_t first = list.front().index;
      p.offset = first - 1;
      const auto span = static_cast<std::uint32_t>(list.back().index - first + 1);  // >= 1
      p.counts.assign(span, 0);
      for (const auto& b : list) p.counts[static_cast<std::size_t>(b.index - first)] = b.count;
    };
    if (p.scale == kScale) {
      dense(buckets);  // as recorded: no pass to lower them
    } else {
      CTimeCounterSnapshot::LowerBuckets(buckets, p.scale, lowered);
      dense(*lowered);
    }
  }
  return p;
}

std::uint64_t UnixNanos(const RequestContext& context, std::chrono::steady_clock::time_point t) {
  const std::int64_t steady =
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  const std::int64_t wall = steady + context.wallMinusSteadyNs;
  return wall > 0 ? static_cast<std::uint64_t>(wall) : 0;
}

namespace {

// Each counter of `now` as its difference from its snapshot of the same
// name in `acked` (both in ascending name order).
template <typename Snapshot>
std::vector<std::pair<std::string, Snapshot>> Differences(
    const std::vector<std::pair<std::string, Snapshot>>& now,
    const std::vector<std::pair<std::string, Snapshot>>& acked) {
  std::vector<std::pair<std::string, Snapshot>> out;
  out.reserve(now.size());
  auto old = acked.begin();
  for (const auto& entry : now) {
    while (old != acked.end() && old->first < entry.first) ++old;
    const bool seen = old != acked.end() && old->first == entry.first;
    // Two calls: Since() of a conditional would copy the earlier snapshot.
    out.emplace_back(entry.first,
                     seen ? entry.second.Since(old->second) : entry.second.Since(Snapshot()));
  }
  return out;
}

std::uint64_t Gained(std::uint64_t now, std::uint64_t before) {
  return now > before ? now - before : 0;
}

}  // namespace

Reading Read(const CPerfCounters::TimeCounterList& times,
             const CPerfCounters::MediaSpeedCounterList& speeds, const PushCounts& pushes,
             std::chrono::steady_clock::time_point pushesStart,
             std::chrono::steady_clock::time_point at) {
  Reading r;
  r.times.reserve(times.size());
  for (const auto& entry : times) {
    if (entry.second) r.times.emplace_back(entry.first, entry.second->GetSnapshot());
  }
  r.speeds.reserve(speeds.size());
  for (const auto& entry : speeds) {
    if (entry.second) r.speeds.emplace_back(entry.first, entry.second->GetSnapshot());
  }
  r.pushes = pushes;
  r.pushesStart = pushesStart;
  r.at = at;
  return r;
}

Reading Since(const Reading& now, const Reading& acked) {
  Reading r;
  r.times = Differences(now.times, acked.times);
  r.speeds = Differences(now.speeds, acked.speeds);
  r.pushes.ok = Gained(now.pushes.ok, acked.pushes.ok);
  r.pushes.retried = Gained(now.pushes.retried, acked.pushes.retried);
  r.pushes.failed = Gained(now.pushes.failed, acked.pushes.failed);
  r.pushesStart = acked.at;
  r.at = now.at;
  return r;
}

namespace {

// The request of the counters that `forEachTime` and `forEachSpeed` hand to
// the function they are given, as (full name, snapshot) in the set's name
// order: a snapshot of an elapsed-time counter as an rvalue, of a throughput
// counter by reference. So a request of the counters as they are reads one
// snapshot at a time, and one of a reading moves each out of it.
template <typename ForEachTime, typename ForEachSpeed>
void Encode(const RequestContext& context, const ForEachTime& forEachTime,
            const ForEachSpeed& forEachSpeed, const PushCounts& pushes,
            std::chrono::steady_clock::time_point pushesStart,
            std::chrono::steady_clock::time_point at, const Encoding& encoding, std::string* out) {
  const std::uint32_t temporality = encoding.delta ? kDelta : kCumulative;
  out->clear();
  ProtoWriter w(out);
  const ProtoWriter::Mark resourceMetrics = w.BeginMessage(request::kResourceMetrics);

  const ProtoWriter::Mark resourceAt = w.BeginMessage(resource_metrics::kResource);
  for (const Attribute& a : context.resource) {
    if (a.isInt) {
      IntAttribute(w, resource::kAttributes, a.key, a.intValue);
    } else {
      StringAttribute(w, resource::kAttributes, a.key, a.value);
    }
  }
  w.EndMessage(resourceAt);

  const ProtoWriter::Mark scopeMetrics = w.BeginMessage(resource_metrics::kScopeMetrics);
  const ProtoWriter::Mark scopeAt = w.BeginMessage(scope_metrics::kScope);
  w.String(scope::kName, "zrperf");
  w.String(scope::kVersion, context.scopeVersion);
  w.EndMessage(scopeAt);

  // Elapsed-time counters, one point each.
  {
    const ProtoWriter::Mark metricAt = w.BeginMessage(scope_metrics::kMetrics);
    MetricHeader(w, "zrperf.elapsed", "Elapsed time of the samples of each time counter.", "s");
    const ProtoWriter::Mark histogram = w.BeginMessage(metric::kExponentialHistogram);
    std::vector<CTimeCounterSnapshot::LoweredBucket> lowered;
    forEachTime([&](const std::string& name, CTimeCounterSnapshot&& snap) {
      WriteHistogramPoint(w, context, LabelOf(name),
                          HistogramPointOf(snap, encoding.maxBuckets, &lowered));
    });
    w.UInt64(exponential_histogram::kAggregationTemporality, temporality);
    w.EndMessage(histogram);
    w.EndMessage(metricAt);
  }

  // Throughput counters: three sums over the same points.
  std::vector<SpeedPoint> points;
  forEachSpeed([&](const std::string& name, const CMediaSpeedCounterSnapshot& snap) {
    points.push_back(SpeedPoint{LabelOf(name), snap.GetBytes(), snap.GetTransfers(),
                                static_cast<double>(snap.GetTime().Get100ns()) / kUnitsPerSecond,
                                snap.GetStart(), snap.GetEnd()});
  });
  struct SumMetric {
    const char* name;
    const char* description;
    const char* unit;
  };
  const SumMetric sums[] = {
      {"zrperf.transferred", "Bytes transferred by each throughput counter.", "By"},
      {"zrperf.transfers", "Transfers of each throughput counter.", "{transfer}"},
      {"zrperf.transfer", "Summed time of the transfers of each throughput counter.", "s"},
  };
  for (int m = 0; m < 3; ++m) {
    const ProtoWriter::Mark metricAt = w.BeginMessage(scope_metrics::kMetrics);
    MetricHeader(w, sums[m].name, sums[m].description, sums[m].unit);
    const ProtoWriter::Mark sumAt = w.BeginMessage(metric::kSum);
    for (const SpeedPoint& p : points) {
      WriteSumPoint(w, context, "counter", p.label, p.start, p.end, m == 2,
                    m == 0 ? p.bytes : p.transfers, p.seconds);
    }
    w.UInt64(sum::kAggregationTemporality, temporality);
    w.UInt64(sum::kIsMonotonic, 1);
    w.EndMessage(sumAt);
    w.EndMessage(metricAt);
  }

  // The exporter's own attempts (up to the one this request goes out in).
  {
    const ProtoWriter::Mark metricAt = w.BeginMessage(scope_metrics::kMetrics);
    MetricHeader(w, "zrperf.otlp.pushes", "Pushes of this exporter by outcome.", "{push}");
    const ProtoWriter::Mark sumAt = w.BeginMessage(metric::kSum);
    const std::pair<const char*, std::uint64_t> outcomes[] = {
        {"ok", pushes.ok}, {"retried", pushes.retried}, {"failed", pushes.failed}};
    for (const auto& o : outcomes) {
      WriteSumPoint(w, context, "outcome", o.first, pushesStart, at, false, o.second, 0.0);
    }
    w.UInt64(sum::kAggregationTemporality, temporality);
    w.UInt64(sum::kIsMonotonic, 1);
    w.EndMessage(sumAt);
    w.EndMessage(metricAt);
  }

  w.EndMessage(scopeMetrics);
  w.EndMessage(resourceMetrics);
}

}  // namespace

void EncodeRequest(const RequestContext& context, Reading reading, const Encoding& encoding,
                   std::string* out) {
  Encode(
      context,
      [&reading](const auto& take) {
        for (auto& entry : reading.times) take(entry.first, std::move(entry.second));
      },
      [&reading](const auto& take) {
        for (const auto& entry : reading.speeds) take(entry.first, entry.second);
      },
      reading.pushes, reading.pushesStart, reading.at, encoding, out);
}

void EncodeRequest(const RequestContext& context, const CPerfCounters::TimeCounterList& times,
                   const CPerfCounters::MediaSpeedCounterList& speeds, const PushCounts& pushes,
                   std::chrono::steady_clock::time_point pushesStart,
                   std::chrono::steady_clock::time_point at, const Encoding& encoding,
                   std::string* out) {
  Encode(
      context,
      [&times](const auto& take) {
        for (const auto& entry : times) {
          if (entry.second) take(entry.first, entry.second->GetSnapshot());
        }
      },
      [&speeds](const auto& take) {
        for (const auto& entry : speeds) {
          if (entry.second) take(entry.first, entry.second->GetSnapshot());
        }
      },
      pushes, pushesStart, at, encoding, out);
}

}  // namespace zrotlp
