// Internal to the counters engine (built into libzrframework): the text of a duration in the counters' lines.
//
// A count of 100 ns units is written in the largest unit in which it is at
// least 1: below 1 us as whole nanoseconds ("0ns", "700ns"), below 1 ms as
// "12.34us", below 1 s as "12.34ms", from 1 s up as "12.34s"; two decimals,
// truncated. Stateless and thread-safe.

#ifndef ZRPERF_COUNTERS_INTERNAL_DURATIONTEXT_H_
#define ZRPERF_COUNTERS_INTERNAL_DURATIONTEXT_H_

#include <cstdint>
#include <string>

namespace zrfw {

std::string DurationText(std::uint64_t units);

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_DURATIONTEXT_H_
