// Internal to libzrperf-prometheus: the native-histogram buckets (schema 4,
// durations in seconds) of an elapsed-time counter's snapshot. The one place
// that knows how a snapshot's histogram maps to native buckets.
//
// The counters keep exactly the schema-4 buckets: each listed bucket of a
// snapshot becomes the native bucket of the same index, count for count, and
// samples of 0 units the zero bucket, whose threshold is 0.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_

#include <zrperf/counters/TimeCounterSnapshot.h>

#include <cstdint>

#include "MetricFamilies.h"

namespace zrprom {

constexpr std::int32_t kNativeSchema = 4;

// Adds the samples of `snap` to `native` (schema kNativeSchema; marks it
// present), summing the counts of buckets of the same index.
void AddNativeBuckets(const CTimeCounterSnapshot& snap, NativeHistogram* native);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NATIVEBUCKETS_H_
