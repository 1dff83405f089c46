// Test support: whether the test runs under qemu-user (the big-endian
// target's test runner, scripts/run-ppc64.sh, which sets ZRPERF_PPC64_SELF).
// qemu-user cannot fork a guest that runs several threads: the emulator
// itself fails an assertion or hangs in the child, whose thread count also
// includes the emulator's own. Tests that fork a multi-threaded process skip
// there; the native builds run them.

#ifndef ZRPERF_TESTS_SUPPORT_USERMODEEMULATOR_H_
#define ZRPERF_TESTS_SUPPORT_USERMODEEMULATOR_H_

#include <cstdlib>

namespace zrperf_test {

inline bool UnderUserModeEmulator() {
  return std::getenv("ZRPERF_PPC64_SELF") != nullptr;
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_USERMODEEMULATOR_H_
