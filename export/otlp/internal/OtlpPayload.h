// Internal to libzrperf-otlp: the body of one push, an OTLP
// ExportMetricsServiceRequest (export/otlp/proto/otlp_metrics.proto) written with
// the project's protocol buffers writer.
//
// One ResourceMetrics (the resource's attributes) holding one ScopeMetrics
// (scope "zrperf", the library version) with these metrics, every point
// cumulative or every one delta, one point per counter labelled
// counter="<name>": the whole name, each piece between NULs made valid UTF-8
// as LabelValueOf() makes a Prometheus label value, each NUL written "%00", so
// that distinct names are distinct points:
//
//   zrperf.elapsed      exponential histogram, unit s, scale 4 or the largest
//                       below at which the point fits the bucket budget: each
//                       elapsed-time counter
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
// A cumulative point starts at its counter's creation or last Reset(), a
// delta point at the end of the reading it is the difference from; each ends
// at the read. Steady-clock times become Unix times through one offset fixed when the
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
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrotlp {

constexpr std::int32_t kScale = 4;  // the recorded resolution, the finest a point uses

// One elapsed-time counter as an exponential-histogram point (seconds) at
// `scale`. Bucket i counts durations d with base^i < d <= base^(i+1),
// base = 2^(2^-scale); counts[k] is bucket offset + k. Zero-length samples
// are the zero count (threshold 0).
struct HistogramPoint {
  std::uint64_t count = 0;
  double sum = 0.0;  // seconds
  double min = 0.0;  // seconds; meaningful only when count > 0
  double max = 0.0;
  std::uint64_t zeroCount = 0;
  std::int32_t scale = kScale;
  std::int32_t offset = 0;
  std::vector<std::uint64_t> counts;  // dense from offset; empty without a positive sample
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point end;
};

// The largest scale from 4 down to -10 at which the schema-4 buckets `first`
// to `last` (indices as CTimeCounterSnapshot numbers them) span at most
// `maxBuckets` OTLP buckets; -10 when none does; 4 for `maxBuckets` 0 (no
// budget).
std::int32_t ScaleWithin(std::int32_t first, std::int32_t last, std::size_t maxBuckets);

// The point of one snapshot at the scale ScaleWithin() gives for its buckets,
// each bucket the exact sum of the schema-4 buckets it covers. `lowered` is
// scratch storage, reused from call to call.
HistogramPoint HistogramPointOf(const CTimeCounterSnapshot& snap, std::size_t maxBuckets,
                                std::vector<CTimeCounterSnapshot::LoweredBucket>* lowered);

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

// The figures one request carries: each counter's snapshot under its full
// name, in the counter set's name order (byte order), and the exporter's own
// attempts from `pushesStart` to `at`.
struct Reading {
  std::vector<std::pair<std::string, CTimeCounterSnapshot>> times;
  std::vector<std::pair<std::string, CMediaSpeedCounterSnapshot>> speeds;
  PushCounts pushes;
  std::chrono::steady_clock::time_point pushesStart;
  std::chrono::steady_clock::time_point at;
};

// Reads `times` and `speeds` (null handles are skipped) now, with `pushes`
// counted since `pushesStart`.
Reading Read(const CPerfCounters::TimeCounterList& times,
             const CPerfCounters::MediaSpeedCounterList& speeds, const PushCounts& pushes,
             std::chrono::steady_clock::time_point pushesStart,
             std::chrono::steady_clock::time_point at);

// What `now` holds that `acked` (an earlier reading) did not: each counter's
// Since() of its snapshot in `acked` (whole when it is not there, or was
// replaced by the set's Reset()), the attempts since `acked.at`. Consecutive
// differences add up exactly to the last reading, and each starts where the
// one before ended.
Reading Since(const Reading& now, const Reading& acked);

// How the points of a request are written.
struct Encoding {
  bool delta = false;          // AGGREGATION_TEMPORALITY_DELTA instead of CUMULATIVE
  std::size_t maxBuckets = 0;  // per histogram point; 0: no budget (scale 4)
};

// Writes into `out` (replacing it) the request for `reading` (its snapshots
// are moved out of it: pass a reading to be kept as a copy).
void EncodeRequest(const RequestContext& context, Reading reading, const Encoding& encoding,
                   std::string* out);

// Writes into `out` (replacing it) the request for `times` and `speeds` as
// they are now, one snapshot at a time (null handles are skipped), with
// `pushes` counted from `pushesStart` to `at`.
void EncodeRequest(const RequestContext& context, const CPerfCounters::TimeCounterList& times,
                   const CPerfCounters::MediaSpeedCounterList& speeds, const PushCounts& pushes,
                   std::chrono::steady_clock::time_point pushesStart,
                   std::chrono::steady_clock::time_point at, const Encoding& encoding,
                   std::string* out);

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPPAYLOAD_H_
