// Test support: the standard deviation the counters must report, worked out
// exactly with big integers from the samples' count, sum and sum of squares.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_TESTS_SUPPORT_EXACTDEVIATION_H_
#define ZRPERF_TESTS_SUPPORT_EXACTDEVIATION_H_

#include <boost/multiprecision/cpp_int.hpp>

#include <cstdint>

namespace zrperf_test {

using boost::multiprecision::cpp_int;

// The population deviation of `n` samples of sum `s` and sum of squares `q`,
// rounded to the nearest unit (halves up), from the rational variance:
// floor((isqrt(4 * (n*q - s^2)) + n) / (2n)); 0 for no samples.
inline std::uint64_t ExactDeviation(const cpp_int& n, const cpp_int& s, const cpp_int& q) {
  if (n == 0) return 0;
  const cpp_int root = boost::multiprecision::sqrt(cpp_int(4 * (n * q - s * s)));
  return static_cast<std::uint64_t>((root + n) / (2 * n));
}

// The same of the samples (in units) themselves.
template <typename Samples>
std::uint64_t ExactDeviation(const Samples& samples) {
  cpp_int s = 0, q = 0;
  for (const auto units : samples) {
    const cpp_int u = units;
    s += u;
    q += u * u;
  }
  return ExactDeviation(cpp_int(samples.size()), s, q);
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_EXACTDEVIATION_H_
