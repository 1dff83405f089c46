// Internal to the counters engine: the population standard deviation of
// samples known by their count n, sum s and sum of squares q (all exact
// integers), computed exactly: n^2 * variance = n * q - s^2 is formed in 256
// bits and the root found by comparisons of squares, so the result is the
// exact deviation rounded to the nearest unit (halves up), whatever the
// magnitudes. Stateless and thread-safe.
//
// Included by the engine's sources only; not installed.

#ifndef ZRPERF_COUNTERS_INTERNAL_EXACTSPREAD_H_
#define ZRPERF_COUNTERS_INTERNAL_EXACTSPREAD_H_

#include <cmath>
#include <cstdint>

namespace zrfw {
namespace spread {

__extension__ typedef unsigned __int128 Wide;

// An unsigned 256-bit number, least significant word first.
struct U256 {
  std::uint64_t w[4];
};

inline U256 Product(Wide a, Wide b) noexcept {
  const Wide a0 = static_cast<std::uint64_t>(a), a1 = a >> 64;
  const Wide b0 = static_cast<std::uint64_t>(b), b1 = b >> 64;
  const Wide p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const Wide middle =
      (p00 >> 64) + static_cast<std::uint64_t>(p01) + static_cast<std::uint64_t>(p10);
  const Wide high = p11 + (p01 >> 64) + (p10 >> 64) + (middle >> 64);
  return U256{{static_cast<std::uint64_t>(p00), static_cast<std::uint64_t>(middle),
               static_cast<std::uint64_t>(high), static_cast<std::uint64_t>(high >> 64)}};
}

inline bool LessOrEqual(const U256& a, const U256& b) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
  }
  return true;
}

// a - b; REQUIRES: b <= a.
inline U256 Minus(const U256& a, const U256& b) noexcept {
  U256 r;
  unsigned borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t d = a.w[i] - b.w[i];
    const unsigned next = (a.w[i] < b.w[i] || d < borrow) ? 1 : 0;
    r.w[i] = d - borrow;
    borrow = next;
  }
  return r;
}

inline double ToDouble(const U256& a) noexcept {
  return std::ldexp(static_cast<double>(a.w[3]), 192) +
         std::ldexp(static_cast<double>(a.w[2]), 128) +
         std::ldexp(static_cast<double>(a.w[1]), 64) + static_cast<double>(a.w[0]);
}

// round(sqrt(n * q - s^2) / n), q = qLow + qHigh * 2^128; 0 for n = 0, or
// when s^2 > n * q (figures read while a sample was in flight). REQUIRES:
// n * q < 2^254 (a snapshot's n < 2^64 and q < 2^160 give n * q < 2^224).
inline std::uint64_t StandardDeviation(std::uint64_t n, Wide s, Wide qLow,
                                       std::uint64_t qHigh) noexcept {
  if (n == 0) return 0;
  U256 nq = Product(n, qLow);
  const Wide upper = Wide{n} * qHigh + nq.w[2];  // cannot pass 128 bits (REQUIRES)
  nq.w[2] = static_cast<std::uint64_t>(upper);
  nq.w[3] += static_cast<std::uint64_t>(upper >> 64);
  const U256 s2 = Product(s, s);
  if (LessOrEqual(nq, s2)) return 0;
  const U256 d = Minus(nq, s2);  // n^2 * variance
  // The answer is the largest r with ((2r - 1) * n)^2 <= 4d, that is
  // sqrt(d) / n >= r - 1/2. 4d fits in 256 bits (REQUIRES).
  U256 d4;
  d4.w[3] = (d.w[3] << 2) | (d.w[2] >> 62);
  d4.w[2] = (d.w[2] << 2) | (d.w[1] >> 62);
  d4.w[1] = (d.w[1] << 2) | (d.w[0] >> 62);
  d4.w[0] = d.w[0] << 2;
  // A deviation is below 2^63 units; (2r - 1) * n then fits in 128 bits.
  const auto holds = [&](std::uint64_t r) {
    const Wide side = Wide{2 * r - 1} * n;
    return LessOrEqual(Product(side, side), d4);
  };
  // Search near the floating-point estimate, whose error is far below 2^-40
  // of it; the window widens to the whole range when a bound does not hold,
  // so the window's width decides the time taken, never the answer.
  const double estimate = std::sqrt(ToDouble(d)) / static_cast<double>(n);
  const double slack = estimate * 0x1p-40 + 2.0;
  std::uint64_t low = estimate > slack ? static_cast<std::uint64_t>(estimate - slack) : 0;
  std::uint64_t high = estimate + slack < 0x1p63 ? static_cast<std::uint64_t>(estimate + slack)
                                                 : (std::uint64_t{1} << 63) - 1;
  if (low != 0 && !holds(low)) low = 0;
  if (high < (std::uint64_t{1} << 63) - 1 && holds(high + 1)) high = (std::uint64_t{1} << 63) - 1;
  while (low < high) {  // holds(low) (or low = 0); holds(high + 1) fails
    const std::uint64_t middle = low + (high - low + 1) / 2;
    if (holds(middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

}  // namespace spread
}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_EXACTSPREAD_H_
