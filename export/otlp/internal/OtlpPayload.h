// Internal to libzrperf-otlp: the body of one push, an OTLP
// ExportMetricsServiceRequest (export/otlp/proto/otlp_metrics.proto) written with
// the project's protocol buffers writer.
//
// One ResourceMetrics (the resource's attributes) holding one ScopeMetrics
// (scope "zrperf", the library version) with these metrics, every point
// cumulative and labelled counter="<name>" (LabelValueOf(): the name up to
// its first NUL, made valid UTF-8; names equal up to their first NUL are one
// point that adds their figures up):
//
//   zrperf.elapsed      exponential histogram, unit s, scale 4: each elapsed-time counter
//   zrperf.transferred  monotonic sum, unit By: bytes of each throughput counter
//   zrperf.transfers    monotonic sum, unit {transfer}: its transfers
//   zrperf.transfer     monotonic sum, unit s: their summed time
//   zrperf.otlp.pushes  monotonic sum, unit {push}: the exporter's own attempts,
//                       labelled outcome="ok" | "retried" | "failed"
//
// (A Prometheus server that ingests OTLP names them zrperf_elapsed_seconds,
// zrperf_transferred_bytes_total, zrperf_transfers_total and
// zrperf_transfer_seconds_total, as the Prometheus export does.)
//
// A point starts at its counter's creation or last Reset() and ends at the
// read; steady-clock times become Unix times through one offset fixed when the
// exporter was made, so that start times do not move between pushes.
//
// Thread-safety: pure functions of their arguments; the counters are read
// through their snapshots, which never block a recording thread.

#ifndef ZRPERF_EXPORT_OTLP_INTERNAL_OTLPPAYLOAD_H_
#define ZRPERF_EXPORT_OTLP_INTERNAL_OTLPPAYLOAD_H_

#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/TimeCounterSnapshot.h>
#include <zrperf/perf/PerfCounters.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrotlp {

constexpr std::int32_t kScale = 4;

// One elapsed-time counter as an exponential-histogram point (scale 4,
// seconds). Bucket i counts durations d with base^i < d <= base^(i+1),
// base = 2^(1/16); counts[k] is bucket offset + k. Zero-length samples are
// the zero count (threshold 0).
struct HistogramPoint {
  std::uint64_t count = 0;
  double sum = 0.0;  // seconds
  double min = 0.0;  // seconds; meaningful only when count > 0
  double max = 0.0;
  std::uint64_t zeroCount = 0;
  std::int32_t offset = 0;
  std::vector<std::uint64_t> counts;  // dense from offset; empty without a positive sample
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point end;
};

// The point of one snapshot: every one of its buckets, count for count.
HistogramPoint HistogramPointOf(const CTimeCounterSnapshot& snap);

// Adds `other` into `into`: counts, sums and buckets add, extremes combine,
// the span covers both.
void MergePoint(HistogramPoint* into, const HistogramPoint& other);

// The exporter's own attempts, as pushed in zrperf.otlp.pushes.
struct PushCounts {
  std::uint64_t ok = 0;
  std::uint64_t retried = 0;
  std::uint64_t failed = 0;
};

// A resource attribute: a string, or an integer when `isInt`.
struct Attribute {
  std::string key;
  std::string value;
  bool isInt = false;
  std::int64_t intValue = 0;
};

// What every request of one exporter shares.
struct RequestContext {
  std::vector<Attribute> resource;
  std::string scopeVersion;
  // Unix time in nanoseconds minus steady-clock time in nanoseconds.
  std::int64_t wallMinusSteadyNs = 0;
  // When the exporter started: the start of zrperf.otlp.pushes.
  std::chrono::steady_clock::time_point exporterStart;
};

// Unix nanoseconds of steady-clock time `t` (0 for times before 1970).
std::uint64_t UnixNanos(const RequestContext& context, std::chrono::steady_clock::time_point t);

// Writes into `out` (replacing it) the request for `times` and `speeds` (in
// the counter set's name order; null handles are skipped) and `pushes`,
// stamped `now` where no counter gives a time.
void EncodeRequest(const RequestContext& context, const CPerfCounters::TimeCounterList& times,
                   const CPerfCounters::MediaSpeedCounterList& speeds, const PushCounts& pushes,
                   std::chrono::steady_clock::time_point now, std::string* out);

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPPAYLOAD_H_
