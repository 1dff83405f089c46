// Internal to the counters engine (built into libzrframework): the one place
// where the counters' figures are narrowed, subtracted and bounded. Every figure
// that does not fit where it goes is held at the largest value it can take
// there, never wrapped: a 128-bit sum becomes the largest 64-bit value, a
// 64-bit count of units the largest CTimeInterval. Stateless and thread-safe;
// all inline, so the recording path pays no call.
//
// Included by the engine's sources only; not installed.

#ifndef ZRPERF_COUNTERS_INTERNAL_SATURATING_H_
#define ZRPERF_COUNTERS_INTERNAL_SATURATING_H_

#include <cstdint>

#include <zrperf/sync/TimeInterval.h>

namespace zrfw {
namespace sat {

__extension__ typedef unsigned __int128 Wide;

// a - b, or 0 when b exceeds a (differences of figures that only grow).
inline Wide Sub(Wide a, Wide b) noexcept {
  return a > b ? a - b : 0;
}

// `wide`, or the largest 64-bit value when it does not fit.
inline std::uint64_t To64(Wide wide) noexcept {
  return wide > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(wide);
}

// `value` moved into [low, high] (low <= high).
inline std::uint64_t Within(std::uint64_t value, std::uint64_t low, std::uint64_t high) noexcept {
  return value < low ? low : value > high ? high : value;
}

// A count of 100 ns units as a CTimeInterval, held at the largest one.
inline CTimeInterval Interval(Wide units) noexcept {
  return CTimeInterval(units > static_cast<Wide>(INT64_MAX) ? INT64_MAX
                                                            : static_cast<long long>(units));
}

// The units of a duration; a negative one counts as 0.
inline std::uint64_t UnitsOf(const CTimeInterval& elapsed) noexcept {
  return elapsed.Get100ns() > 0 ? static_cast<std::uint64_t>(elapsed.Get100ns()) : 0;
}

}  // namespace sat
}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_SATURATING_H_
