#include "LatencyHistogram.h"

#include <cmath>

namespace zrfw {
namespace latency {

// Each root converts to the double nearest to it; scaling by a power of two
// is exact.
double UpperSeconds(int index) noexcept {
  const int q = index >= 0 ? index / 16 : -((15 - index) / 16);
  return std::ldexp(static_cast<double>(detail::kRoot16[index - 16 * q]), q - 62);
}

}  // namespace latency
}  // namespace zrfw
