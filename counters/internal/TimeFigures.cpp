#include "TimeFigures.h"

namespace zrfw {

// Combines count, extremes, and mean and squared deviations (the pairwise
// update); totals and buckets are added by the callers, since a counter's
// folded figures may hold total and buckets moved out of a slot without any
// count.
void TimeFigures::Merge(std::uint64_t n, std::uint64_t low, std::uint64_t high, double m,
                        double deviations) noexcept {
  if (n == 0) return;
  if (count == 0) {
    mean = m;
    m2 = deviations;
  } else {
    const double na = static_cast<double>(count);
    const double nb = static_cast<double>(n);
    const double delta = m - mean;
    mean += delta * nb / (na + nb);
    m2 += deviations + delta * delta * na * nb / (na + nb);
  }
  count += n;
  if (low < min) min = low;
  if (high > max) max = high;
  // A read that overlaps a slot's first sample may see its count before its
  // extremes: keep min <= max.
  if (min == UINT64_MAX) min = max;
  if (max < min) max = min;
}

void TimeFigures::Add(const TimeFigures& other) noexcept {
  Merge(other.count, other.min, other.max, other.mean, other.m2);
  total += other.total;
  for (std::size_t i = 0; i < latency::kBuckets; ++i) buckets[i] += other.buckets[i];
}

void TimeFigures::AddSlot(const TimeSlotFields& slot) noexcept {
  const std::uint64_t n = LoadRelaxed(slot.count);
  if (n == 0) return;  // nothing recorded yet, or the first sample still in flight
  const double shift = static_cast<double>(LoadRelaxed(slot.shift));
  const double sum = LoadRelaxed(slot.sum);
  const double squares = LoadRelaxed(slot.sumSquares);
  const double nd = static_cast<double>(n);
  const double deviations = squares - sum * sum / nd;
  Merge(n, LoadRelaxed(slot.min), LoadRelaxed(slot.max), shift + sum / nd,
        deviations > 0.0 ? deviations : 0.0);
  total += LoadRelaxed(slot.total);
  for (std::size_t i = 0; i < latency::kBuckets; ++i) buckets[i] += LoadRelaxed(slot.buckets[i]);
}

}  // namespace zrfw
