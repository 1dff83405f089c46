// Internal to libzrperf-prometheus: the native-histogram buckets (schema 4,
// durations in seconds) of an elapsed-time counter's snapshot. The one place
// that knows how a snapshot's histogram maps to native buckets.
//
// The snapshot's buckets split each power of two of 100 ns units into 16
// equal parts, a layout that schema-4 buckets (each 2^(1/16) wider than the
// one before) do not share. Until the counters keep schema-4 buckets, each
// bucket's samples are counted in the schema-4 bucket that holds the bucket's
// highest duration (its lowest for the last, open-ended bucket), so a sample
// is never placed below its value and at most two schema-4 buckets above it
// (a snapshot bucket is up to 6.25 % wide, a schema-4 one 4.4 %); samples of
// 0 units go to the zero bucket, whose threshold is 0.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_INTERNAL_NATIVEBUCKETS_H_
#define ZRPERF_EXPORT_INTERNAL_NATIVEBUCKETS_H_

#include <zrperf/counters/TimeCounterSnapshot.h>

#include <cstdint>

#include "MetricFamilies.h"

namespace zrprom {

constexpr std::int32_t kNativeSchema = 4;

// The schema-4 index of the bucket holding `seconds` (> 0): the least i with
// seconds <= 2^(i/16).
std::int32_t NativeIndexOf(double seconds);

// Adds the samples of `snap` to `native` (schema kNativeSchema; marks it
// present), summing the counts of buckets of the same index.
void AddNativeBuckets(const CTimeCounterSnapshot& snap, NativeHistogram* native);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_INTERNAL_NATIVEBUCKETS_H_
