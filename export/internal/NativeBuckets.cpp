#include "NativeBuckets.h"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace zrprom {

namespace {

constexpr double kUnitsPerSecond = 1e7;
constexpr double kBucketsPerPower = 16;  // 2^kNativeSchema

// The upper end of schema-4 bucket `i`: 2^(i/16).
double UpperEnd(std::int32_t i) {
  return std::exp2(i / kBucketsPerPower);
}

}  // namespace

std::int32_t NativeIndexOf(double seconds) {
  auto i = static_cast<std::int32_t>(std::ceil(std::log2(seconds) * kBucketsPerPower));
  // log2 may be off by an ulp at a bucket's end: settle on the exact rule.
  while (UpperEnd(i - 1) >= seconds) --i;
  while (UpperEnd(i) < seconds) ++i;
  return i;
}

void AddNativeBuckets(const CTimeCounterSnapshot& snap, NativeHistogram* native) {
  native->present = true;
  native->schema = kNativeSchema;
  native->zeroThreshold = 0;
  std::vector<NativeBucket> added;
  for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) {
    if (b.count == 0) continue;
    const std::uint64_t top = b.high == std::numeric_limits<std::uint64_t>::max() ? b.low : b.high;
    if (top == 0) {
      native->zeroCount += b.count;
      continue;
    }
    const std::int32_t index = NativeIndexOf(static_cast<double>(top) / kUnitsPerSecond);
    if (!added.empty() && added.back().index == index) {
      added.back().count += b.count;
    } else {
      added.push_back(NativeBucket{index, b.count});
    }
  }
  if (native->positive.empty()) {
    native->positive = std::move(added);
    return;
  }
  // Merge two ascending lists, summing equal indices.
  std::vector<NativeBucket> merged;
  merged.reserve(native->positive.size() + added.size());
  auto a = native->positive.begin();
  auto b = added.begin();
  while (a != native->positive.end() || b != added.end()) {
    if (b == added.end() || (a != native->positive.end() && a->index < b->index)) {
      merged.push_back(*a++);
    } else if (a == native->positive.end() || b->index < a->index) {
      merged.push_back(*b++);
    } else {
      merged.push_back(NativeBucket{a->index, a->count + b->count});
      ++a;
      ++b;
    }
  }
  native->positive = std::move(merged);
}

}  // namespace zrprom
