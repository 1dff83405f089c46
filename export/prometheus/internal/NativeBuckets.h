// Internal to libzrperf-prometheus: the native-histogram buckets (durations
// in seconds) of an elapsed-time counter's snapshot, within a bucket budget.
// The one place that knows how a snapshot's histogram maps to native buckets.
//
// The counters keep exactly the schema-4 buckets. Without a budget (0), or
// when they fit in it, each listed bucket of a snapshot becomes the native
// bucket of the same index, count for count. With a budget, a histogram that
// would hold more buckets goes out at the largest schema from 4 down to
// kLowestNativeSchema at which it fits, each bucket the exact sum of the
// schema-4 buckets it covers (CTimeCounterSnapshot::LowerBuckets()); one that
// fits at no schema goes out at kLowestNativeSchema, where the counters'
// whole range is 3 buckets. The budget counts the buckets the protobuf
// writer puts in the spans (ProtoExposition.h): the non-empty ones and the
// empty ones it keeps inside a span, as Prometheus counts them against
// native_histogram_bucket_limit. Samples of 0 units go to the zero bucket,
// whose threshold is 0, at every schema.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_

#include <zrperf/counters/TimeCounterSnapshot.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "MetricFamilies.h"

namespace zrprom {

constexpr std::int32_t kNativeSchema = 4;  // the counters' own resolution
// The lowest schema Prometheus accepts (each bucket a factor 2^16 wide).
constexpr std::int32_t kLowestNativeSchema = -4;

// How many buckets the spans of `buckets` (schema 4, ascending, as
// GetBuckets() gives them) hold once lowered to `schema`, counted as the
// protobuf writer lays them out; stops counting once past `limit`. Allocates
// nothing.
std::size_t SpanBucketsAt(const std::vector<CTimeCounterSnapshot::Bucket>& buckets,
                          std::int32_t schema, std::size_t limit);

// The schema `buckets` go out at under the budget `maxBuckets` (0: none).
std::int32_t NativeSchemaWithin(const std::vector<CTimeCounterSnapshot::Bucket>& buckets,
                                std::size_t maxBuckets);

// Replaces `native` with the native histogram of `snap` under the budget
// `maxBuckets` (0: none), reusing its storage.
void SetNativeBuckets(const CTimeCounterSnapshot& snap, std::size_t maxBuckets,
                      NativeHistogram* native);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_
