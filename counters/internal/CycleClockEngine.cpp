#include "CycleClockEngine.h"

#include <cmath>

namespace zrfw {

namespace {

// A pair is tried this many times; the narrowest is kept.
constexpr int kPairTries = 3;
// A step whose pair came out too wide is tried again this much later.
constexpr std::int64_t kRetryUnits = 10000;  // 1 ms
// The largest share of the rate's baseline that the two pairs' uncertainty
// may take: a rate good to 0.01 %.
constexpr double kPairShare = 1e-4;
// A re-measured rate further than this from the one in use disowns the counter.
constexpr double kMaxRateChange = 0.01;

}  // namespace

TickScale MakeTickScale(double hz) noexcept {
  TickScale scale;
  if (!(hz > 1e7 && hz <= 1e12)) return scale;
  const long double mult = std::ldexp(1e7L / static_cast<long double>(hz), 64);
  if (mult >= std::ldexp(1.0L, 64)) return scale;
  scale.mult = static_cast<std::uint64_t>(mult + 0.5L);
  return scale;
}

std::int64_t CycleClockEngine::ReadSteady(std::int64_t& last) noexcept {
  // Relaxed: the offset changes only before the line is withdrawn, and the
  // acquire load of the line that saw that orders it.
  const std::int64_t now = SteadyUnits() + m_steadyOffset.load(std::memory_order_relaxed);
  if (__builtin_expect(now >= m_switchAt.load(std::memory_order_relaxed), 0)) Switch();
  return Keep(last, now);
}

std::int64_t CycleClockEngine::RefineAndRead(std::int64_t& last, std::uint64_t ticks) noexcept {
  Refine(ticks);
  const Line* line = m_line.load(std::memory_order_acquire);
  if (line == nullptr) return ReadSteady(last);
  return Keep(last, Reading(*line, ReadCounter()));
}

CycleClockEngine::CycleClockEngine(CounterChoice choice, std::chrono::nanoseconds window) noexcept
    : m_window(window), m_declaredHz(choice.declaredHz) {
  if (!choice.useCounter) return;
  // Not on anyone's recording path: try harder for a narrow first pair.
  m_start = MeasurePair(4 * kPairTries);
  if (m_start.width == UINT64_MAX) return;  // the counter never moved forward
  if (m_declaredHz > 0) {
    zrperf::MutexLock lock(&m_mutex);
    Publish(m_start, m_start.nanoseconds / 100, m_declaredHz);
    return;
  }
  m_switchAt.store(m_start.nanoseconds / 100 + window.count() / 100, std::memory_order_relaxed);
}

CycleClockEngine::Pair CycleClockEngine::MeasurePair(int tries) noexcept {
  Pair best;
  best.width = UINT64_MAX;
  for (int i = 0; i < tries; ++i) {
    const std::uint64_t before = ReadCounter();
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    const std::uint64_t after = ReadCounter();
    if (after < before || after - before >= best.width) continue;
    best.width = after - before;
    best.ticks = before + best.width / 2;
    best.nanoseconds = ns;
  }
  return best;
}

bool CycleClockEngine::Precise(const Pair& now) const noexcept {
  if (now.width == UINT64_MAX || m_start.width == UINT64_MAX || now.ticks <= m_start.ticks ||
      now.nanoseconds <= m_start.nanoseconds) {
    return false;
  }
  const double baseline = static_cast<double>(now.ticks - m_start.ticks);
  return static_cast<double>(now.width) + static_cast<double>(m_start.width) <=
         2 * kPairShare * baseline;
}

double CycleClockEngine::RateSinceStart(const Pair& now) const noexcept {
  return static_cast<double>(now.ticks - m_start.ticks) * 1e9 /
         static_cast<double>(now.nanoseconds - m_start.nanoseconds);
}

void CycleClockEngine::Publish(const Pair& now, std::int64_t base, double hz) noexcept {
  const TickScale scale = MakeTickScale(hz);
  if (scale.mult == 0) {  // no plausible counter: stay on the steady clock
    m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
    return;
  }
  Line& line = m_lines[m_used];
  line.tick0 = now.ticks;
  line.base = base;
  line.scale = scale;
  line.hz = hz;
  ++m_used;
  // The refinements are due 4, 40, 400... windows after the first pair; a
  // declared rate needs none.
  std::uint64_t refineAt = UINT64_MAX;
  if (m_declaredHz == 0 && m_used <= kRefinements) {
    const double windows = 4 * std::pow(10.0, m_used - 1);
    const double seconds = windows * static_cast<double>(m_window.count()) * 1e-9;
    refineAt = m_start.ticks + static_cast<std::uint64_t>(seconds * hz);
  }
  // Relaxed: hints for readers, who check again under the mutex.
  m_refineAt.store(refineAt, std::memory_order_relaxed);
  m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
  // Release: the line's fields are complete before a reader can see it.
  m_line.store(&line, std::memory_order_release);
}

void CycleClockEngine::Switch() noexcept {
  std::unique_lock<std::mutex> lock(m_mutex.Native(), std::try_to_lock);
  if (!lock.owns_lock()) return;
  m_mutex.AssertHeld();  // held by `lock` from here to the return
  if (m_forced || m_used > 0) return;
  const Pair now = MeasurePair(kPairTries);
  if (!Precise(now)) {
    m_switchAt.store(SteadyUnits() + kRetryUnits, std::memory_order_relaxed);
    return;
  }
  Publish(now, now.nanoseconds / 100 + m_steadyOffset.load(std::memory_order_relaxed),
          RateSinceStart(now));
}

void CycleClockEngine::Refine(std::uint64_t ticks) noexcept {
  std::unique_lock<std::mutex> lock(m_mutex.Native(), std::try_to_lock);
  if (!lock.owns_lock()) return;
  m_mutex.AssertHeld();  // held by `lock` from here to the return
  const Line* line = m_line.load(std::memory_order_relaxed);
  if (line == nullptr || ticks < m_refineAt.load(std::memory_order_relaxed)) return;
  const Pair now = MeasurePair(kPairTries);
  if (!Precise(now)) {
    m_refineAt.store(ticks + static_cast<std::uint64_t>(line->hz * 1e-3),
                     std::memory_order_relaxed);
    return;
  }
  const double hz = RateSinceStart(now);
  if (std::fabs(hz / line->hz - 1) > kMaxRateChange) {
    ToSteady(now.ticks, *line);
    return;
  }
  // The new line starts where the old one is at this pair: no jump.
  const std::int64_t since = static_cast<std::int64_t>(now.ticks - line->tick0);
  const std::int64_t base =
      line->base + static_cast<std::int64_t>(
                       ScaleTicks(static_cast<std::uint64_t>(since > 0 ? since : 0), line->scale));
  Publish(now, base, hz);
}

void CycleClockEngine::ToSteady(std::uint64_t ticks, const Line& line) noexcept {
  const std::int64_t since = static_cast<std::int64_t>(ticks - line.tick0);
  const std::int64_t reading =
      line.base + static_cast<std::int64_t>(
                      ScaleTicks(static_cast<std::uint64_t>(since > 0 ? since : 0), line.scale));
  m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
  m_refineAt.store(UINT64_MAX, std::memory_order_relaxed);
  // Relaxed: ordered before the release store of the null line, which readers acquire.
  m_steadyOffset.store(reading - SteadyUnits(), std::memory_order_relaxed);
  m_line.store(nullptr, std::memory_order_release);
  m_forced = true;
}

void CycleClockEngine::ForceSteady() noexcept {
  zrperf::MutexLock lock(&m_mutex);
  const Line* line = m_line.load(std::memory_order_relaxed);
  if (line != nullptr) {
    ToSteady(ReadCounter(), *line);
  } else {
    m_switchAt.store(INT64_MAX, std::memory_order_relaxed);
    m_forced = true;
  }
}

double CycleClockEngine::CounterHz() const noexcept {
  const Line* line = m_line.load(std::memory_order_acquire);
  return line != nullptr ? line->hz : 0;
}

int CycleClockEngine::Lines() const noexcept {
  zrperf::MutexLock lock(&m_mutex);
  return m_used;
}

}  // namespace zrfw
