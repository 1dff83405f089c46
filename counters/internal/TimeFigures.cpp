#include "TimeFigures.h"

namespace zrfw {

namespace {

// Keeps min <= max when a read caught a first sample's maximum before its
// minimum, or counted a sample before seeing its extremes.
void Order(TimeFigures& f) noexcept {
  if (f.count == 0) return;
  if (f.min == UINT64_MAX) f.min = f.max;
  if (f.max < f.min) f.max = f.min;
}

}  // namespace

void TimeFigures::Add(const TimeFigures& other) noexcept {
  count += other.count;
  total += other.total;
  AddSquares(other.squaresLow, other.squaresHigh);
  if (other.min < min) min = other.min;
  if (other.max > max) max = other.max;
  for (std::size_t i = 0; i < latency::kBuckets; ++i) buckets[i] += other.buckets[i];
  Order(*this);
}

void TimeFigures::AddSlot(const TimeSlotFields& slot) noexcept {
  // A slot whose buckets were all folded into the counter counts no sample
  // itself, yet its sums and extremes still hold its samples.
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < latency::kBuckets; ++i) {
    const std::uint32_t inBucket = LoadRelaxed(slot.buckets[i]);
    buckets[i] += inBucket;
    n += inBucket;
  }
  count += n;
  total += LoadRelaxed(slot.total);
  AddSquares(LoadRelaxed(slot.squares));
  const std::uint64_t low = LoadRelaxed(slot.min), high = LoadRelaxed(slot.max);
  if (low < min) min = low;
  if (high > max) max = high;
  Order(*this);
}

}  // namespace zrfw
