// Internal to the counters engine (built into libzrframework): whether the processor offers a cycle counter
// that the recording clock (CCycleClock) may read, decided from the text of
// /proc/cpuinfo.
//
//   x86-64   the time stamp counter (rdtsc), only when the flags line
//            declares it invariant: both "constant_tsc" (it ticks at one rate
//            whatever the core's frequency) and "nonstop_tsc" (it goes on
//            ticking in deep sleep states). Its rate is measured.
//   ppc64    the time base register, which ticks at one fixed rate by the
//            architecture; the rate is the "timebase" line's when there is
//            one, otherwise it is measured (an emulator may show the host's
//            processor text instead).
//   others   none: the recording clock stays on std::chrono::steady_clock.
//
// The text is a parameter so that tests can feed any processor's flags.
// Thread-safety: pure functions.

#ifndef ZRPERF_COUNTERS_INTERNAL_COUNTERFEATURES_H_
#define ZRPERF_COUNTERS_INTERNAL_COUNTERFEATURES_H_

#include <string>

namespace zrfw {

enum class CounterArch { kX86_64, kPpc64, kOther };

// The architecture this library is built for.
CounterArch BuildArch() noexcept;

struct CounterChoice {
  bool useCounter = false;  // read the processor's counter once calibrated
  double declaredHz = 0;    // its rate when the processor text gives it; 0: measure it
};

// What the processor text `cpuinfo` allows on `arch`.
CounterChoice ChooseCounter(CounterArch arch, const std::string& cpuinfo);

// The parts of /proc/cpuinfo that ChooseCounter needs (the first "flags" line
// on x86-64, the whole text elsewhere); "" when it cannot be read.
std::string ReadCpuinfo();

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_COUNTERFEATURES_H_
