#include "NativeBuckets.h"

#include "ProtoExposition.h"

namespace zrprom {

std::size_t SpanBucketsAt(const std::vector<CTimeCounterSnapshot::Bucket>& buckets,
                          std::int32_t schema, std::size_t limit) {
  std::size_t total = 0;
  bool any = false;
  std::int32_t last = 0;  // the lowered index of the last bucket counted
  for (const CTimeCounterSnapshot::Bucket& b : buckets) {
    if (b.count == 0) continue;  // the writer leaves empty buckets out
    const std::int32_t index = CTimeCounterSnapshot::LoweredIndex(b.index, schema);
    if (any && index == last) continue;  // the same lowered bucket
    // As EncodeNativeSpans(): a short gap is written as zero buckets, a
    // longer one starts a new span and costs no bucket.
    const std::int64_t gap = any ? std::int64_t{index} - last - 1 : 0;
    total += 1 + static_cast<std::size_t>(gap <= kMaxGapInSpan ? gap : 0);
    if (total > limit) break;
    last = index;
    any = true;
  }
  return total;
}

std::int32_t NativeSchemaWithin(const std::vector<CTimeCounterSnapshot::Bucket>& buckets,
                                std::size_t maxBuckets) {
  if (maxBuckets == 0 || buckets.empty()) return kNativeSchema;
  // Downwards, the first that fits: lowering may bridge a gap, so a lower
  // schema can hold more buckets than a higher one, and the count is not
  // monotonic enough for a bisection.
  for (std::int32_t schema = kNativeSchema; schema > kLowestNativeSchema; --schema) {
    // Two bounds settle most schemas without a walk: a bucket at `schema`
    // covers at most 2^(4 - schema) schema-4 buckets, so there are at least
    // size / 2^(4 - schema) of them (GetBuckets() lists non-empty ones
    // only); and the spans lie between the first and the last bucket.
    if (((buckets.size() - 1) >> (kNativeSchema - schema)) + 1 > maxBuckets) continue;
    const std::int64_t range =
        std::int64_t{CTimeCounterSnapshot::LoweredIndex(buckets.back().index, schema)} -
        CTimeCounterSnapshot::LoweredIndex(buckets.front().index, schema) + 1;
    if (static_cast<std::uint64_t>(range) <= maxBuckets ||
        SpanBucketsAt(buckets, schema, maxBuckets) <= maxBuckets) {
      return schema;
    }
  }
  return kLowestNativeSchema;
}

void SetNativeBuckets(const CTimeCounterSnapshot& snap, std::size_t maxBuckets,
                      NativeHistogram* native) {
  native->present = true;
  native->schema = NativeSchemaWithin(snap.GetBuckets(), maxBuckets);
  native->zeroThreshold = 0;
  native->zeroCount = snap.GetZeroCount();
  CTimeCounterSnapshot::LowerBuckets(snap.GetBuckets(), native->schema, &native->positive);
}

}  // namespace zrprom
