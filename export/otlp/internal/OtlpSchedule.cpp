#include "OtlpSchedule.h"

#include <algorithm>
#include <random>
#include <utility>

#include <zrperf/sync/Mutex.h>

namespace zrotlp {

std::chrono::milliseconds RetryDelay(int failures, std::optional<std::chrono::seconds> retryAfter,
                                     std::chrono::milliseconds initial,
                                     std::chrono::milliseconds max, double unit) {
  using std::chrono::milliseconds;
  const int doublings = std::clamp(failures - 1, 0, 40);
  // Doubling stops at `max`: no overflow however long the outage.
  milliseconds base = std::max(initial, milliseconds(1));
  for (int i = 0; i < doublings && base < max; ++i) base *= 2;
  base = std::min(base, std::max(max, milliseconds(1)));
  const auto half = static_cast<double>(base.count()) / 2;
  milliseconds delay(static_cast<milliseconds::rep>(half + half * std::clamp(unit, 0.0, 1.0)));
  if (retryAfter) delay = std::max<milliseconds>(delay, std::min(*retryAfter, kMaxRetryAfter));
  return delay;
}

namespace {

class SteadyClock : public Clock {
 public:
  SteadyClock() : m_engine(std::random_device{}()) {}
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  void WaitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                 TimePoint deadline) override {
    wake.wait_until(lock, deadline);
  }
  double Draw() override { return std::uniform_real_distribution<double>(0.0, 1.0)(m_engine); }

 private:
  std::mt19937_64 m_engine;
};

}  // namespace

std::shared_ptr<Clock> SystemClock() {
  return std::make_shared<SteadyClock>();
}

namespace {

zrperf::Mutex g_newClockMutex;
std::shared_ptr<Clock> g_newClock ZR_GUARDED_BY(g_newClockMutex);  // null: SystemClock()

}  // namespace

std::shared_ptr<Clock> ClockForNewExporters() {
  zrperf::MutexLock lock(&g_newClockMutex);
  return g_newClock ? g_newClock : SystemClock();
}

void SetClockForNewExporters(std::shared_ptr<Clock> clock) {
  zrperf::MutexLock lock(&g_newClockMutex);
  g_newClock = std::move(clock);
}

}  // namespace zrotlp
