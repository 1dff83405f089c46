#include "CycleClock.h"

#include <zrperf/counters/internal/CycleClockEngine.h>

namespace {

// Built when the library loads, before any host code can time anything; its
// rate is first measured kCalibrationWindow (25 ms) later.
zrfw::CycleClockEngine g_engine(zrfw::ChooseCounter(zrfw::BuildArch(), zrfw::ReadCpuinfo()));

// This thread's last reading. Initial-exec: a plain offset from the thread
// pointer, with no call, on the recording path.
__attribute__((tls_model("initial-exec"))) thread_local std::int64_t t_last = 0;

}  // namespace

std::int64_t CCycleClock::Now() noexcept {
  return g_engine.Read(t_last);
}

void CCycleClock::ForceSteadyClock() noexcept {
  g_engine.ForceSteady();
}

const char* CCycleClock::SourceName() noexcept {
  if (!g_engine.OnCounter()) return "steady_clock";
  return zrfw::BuildArch() == zrfw::CounterArch::kPpc64 ? "timebase" : "tsc";
}

double CCycleClock::CounterHz() noexcept {
  return g_engine.CounterHz();
}
