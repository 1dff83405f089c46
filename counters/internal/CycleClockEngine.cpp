#include "CycleClockEngine.h"

#include <cmath>

namespace zrfw {

TickScale MakeTickScale(double hz) noexcept {
  TickScale scale;
  if (!(hz > 1e7 && hz <= 1e12)) return scale;
  const long double mult = std::ldexp(1e7L / static_cast<long double>(hz), 64);
  if (mult >= std::ldexp(1.0L, 64)) return scale;
  scale.mult = static_cast<std::uint64_t>(mult + 0.5L);
  return scale;
}

// The process clock's engine: its steps are compiled here once.
template class BasicCycleClockEngine<ProcessorTicks>;

}  // namespace zrfw
