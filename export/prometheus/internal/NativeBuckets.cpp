#include "NativeBuckets.h"

#include <utility>
#include <vector>

namespace zrprom {

void AddNativeBuckets(const CTimeCounterSnapshot& snap, NativeHistogram* native) {
  native->present = true;
  native->schema = kNativeSchema;
  native->zeroThreshold = 0;
  native->zeroCount += snap.GetZeroCount();
  const std::vector<CTimeCounterSnapshot::Bucket>& added = snap.GetBuckets();
  if (native->positive.empty()) {
    // Field by field, for the reason CTimeCounter::Snapshot() gives.
    native->positive.resize(added.size());
    NativeBucket* out = native->positive.data();
    for (const CTimeCounterSnapshot::Bucket& b : added) {
      if (b.count == 0) continue;
      out->index = b.index;
      out->count = b.count;
      ++out;
    }
    native->positive.resize(static_cast<std::size_t>(out - native->positive.data()));
    return;
  }
  // Names equal up to their first NUL share one series: merge two ascending
  // lists, summing equal indices.
  std::vector<NativeBucket> merged;
  merged.reserve(native->positive.size() + added.size());
  auto a = native->positive.begin();
  auto b = added.begin();
  while (a != native->positive.end() || b != added.end()) {
    if (b == added.end() || (a != native->positive.end() && a->index < b->index)) {
      merged.push_back(*a++);
    } else if (a == native->positive.end() || b->index < a->index) {
      merged.push_back(NativeBucket{b->index, b->count});
      ++b;
    } else {
      merged.push_back(NativeBucket{a->index, a->count + b->count});
      ++a;
      ++b;
    }
  }
  native->positive = std::move(merged);
}

}  // namespace zrprom
