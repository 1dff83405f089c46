#include "LatencyHistogram.h"

#include <cmath>

namespace zrfw {
namespace latency {

std::uint64_t BucketLow(std::size_t index) noexcept {
  if (index < kSubBuckets) return index;
  const unsigned shift = static_cast<unsigned>(index / kSubBuckets) - 1;
  return (static_cast<std::uint64_t>(kSubBuckets + index % kSubBuckets)) << shift;
}

std::uint64_t BucketHigh(std::size_t index) noexcept {
  if (index < kSubBuckets) return index;
  const unsigned shift = static_cast<unsigned>(index / kSubBuckets) - 1;
  return BucketLow(index) + (std::uint64_t{1} << shift) - 1;
}

std::uint64_t Percentile(const std::uint64_t* buckets, double fraction, std::uint64_t min,
                         std::uint64_t max) noexcept {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) count += buckets[i];
  if (count == 0 || !(fraction > 0.0)) return min;  // NaN too
  if (fraction >= 1.0) return max;

  const double wanted = std::ceil(fraction * static_cast<double>(count));
  std::uint64_t rank = wanted < 1.0 ? 1 : static_cast<std::uint64_t>(wanted);
  if (rank > count) rank = count;

  std::uint64_t seen = 0;
  std::size_t index = 0;
  for (; index < kBuckets - 1; ++index) {
    seen += buckets[index];
    if (seen >= rank) break;
  }
  const std::uint64_t low = BucketLow(index);
  const std::uint64_t middle = low + (BucketHigh(index) - low) / 2;
  if (middle < min) return min;
  if (middle > max) return max;
  return middle;
}

}  // namespace latency
}  // namespace zrfw
