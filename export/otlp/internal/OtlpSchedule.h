// Internal to libzrperf-otlp: when the exporter's thread pushes. The clock it
// reads and waits on (replaceable, so that tests run hours of back-off in
// milliseconds), and the wait before a retry.
//
// Retries back off exponentially with jitter: the n-th retry in a row waits a
// time drawn uniformly from [b/2, b), b = min(initial * 2^(n-1), max), or what
// the receiver's Retry-After asks for when that is longer (at most an hour).
//
// Thread-safety: RetryDelay() is pure. A Clock is used by the exporter's
// thread only. The clock for new exporters may be read and replaced from any
// thread.

#ifndef ZRPERF_EXPORT_OTLP_INTERNAL_OTLPSCHEDULE_H_
#define ZRPERF_EXPORT_OTLP_INTERNAL_OTLPSCHEDULE_H_

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zrotlp {

constexpr std::chrono::seconds kMaxRetryAfter{3600};
// The periods COtlpExporter::Start() accepts.
constexpr std::chrono::milliseconds kMinPeriod{100};
constexpr std::chrono::milliseconds kMaxPeriod{24LL * 3600 * 1000};

// The wait before retry `failures` (1 for the first retry after a success),
// `unit` a draw from [0, 1).
std::chrono::milliseconds RetryDelay(int failures, std::optional<std::chrono::seconds> retryAfter,
                                     std::chrono::milliseconds initial,
                                     std::chrono::milliseconds max, double unit);

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint Now() = 0;
  // Waits on `wake` with `lock` held until `deadline` or a notification;
  // may return early (the caller looks again).
  virtual void WaitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         TimePoint deadline) = 0;
  // A draw from [0, 1) for the jitter.
  virtual double Draw() = 0;
};

// steady_clock, condition-variable waits, a seeded random engine.
std::shared_ptr<Clock> SystemClock();

// The clock of every exporter that COtlpExporter::Start() starts from now on:
// SystemClock(), unless a test replaced it. (Tests link the exporter's objects
// themselves, so they reach this hidden function of the library.)
std::shared_ptr<Clock> ClockForNewExporters();
// Replaces that clock; null restores SystemClock(). Thread-safe.
void SetClockForNewExporters(std::shared_ptr<Clock> clock);

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPSCHEDULE_H_
