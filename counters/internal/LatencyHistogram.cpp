#include "LatencyHistogram.h"

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

}  // namespace latency
}  // namespace zrfw
