// Internal to libzrperf-prometheus: the scrape answers of the endpoint, shared
// by the requests that want the same kind of answer at about the same time, so
// that the memory and the time scrapes take stay bounded whatever the clients
// do (many clients that ask and never read hold one answer between them, not
// one each).
//
// An answer is built for a request unless one of the same kind can serve it:
//   - one being built: the request waits for it;
//   - one built at most `reuseAge` ago and still being sent to another client;
//   - when `maxAnswers` answers are alive (built or being built, of any kind),
//     or others already wait for room: the newest of its kind, however old, or
//     else the request waits in line for room, and gets null if none comes by
//     its deadline. Room goes to the requests in the order they began to wait.
// A request after the last sender let go always gets a new answer: sequential
// scrapes see the counters as they are at each.
// While a request waits for room, the oldest answer alive is to give way once
// `contendedHold` has passed since it was built: Yielding() names it, and the
// caller stops sending it, so that clients that read slowly but steadily
// cannot keep every answer alive and leave a kind that nobody is being sent
// without one for longer than that.
// Answers are built one at a time on a thread of their own, so that their
// memory comes from one allocator arena: spread over the server's threads, a
// burst of scrapes would leave each thread's arena holding an answer's worth
// of freed memory. A released answer's whole pages are handed back to the
// system just before its memory is freed: the allocator would keep them
// resident whenever a block allocated after the answer is still in use.
//
// Thread-safety: Get(), Alive() and Yielding() may be called from any number
// of threads at once; the
// builder thread runs one build at a time with no lock of Get()'s held.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SHAREDANSWERS_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SHAREDANSWERS_H_

#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zrprom {

class SharedAnswers : public std::enable_shared_from_this<SharedAnswers> {
 public:
  using Answer = std::shared_ptr<const std::string>;
  using Clock = std::chrono::steady_clock;
  static constexpr int kKinds = 6;  // the three formats of Negotiation.h, each plain or gzip

  // Held by std::shared_ptr: released answers report back to it. `waiting`,
  // when given, is called (with no lock of this object held) each time a
  // request begins to wait for room, so that the caller looks at Yielding();
  // the default `contendedHold` never asks an answer to give way.
  static std::shared_ptr<SharedAnswers> Create(
      std::size_t maxAnswers, std::chrono::milliseconds reuseAge,
      std::chrono::milliseconds contendedHold = std::chrono::milliseconds::max(),
      std::function<void()> waiting = {});

  // The answer of kind `kind` (0 to kKinds - 1) for a request, as the rules
  // above say; `build` fills a new one. Null when the request had to wait and
  // `deadline` passed first. `build` may throw: the request gets the exception
  // and the waiting ones build anew.
  Answer Get(int kind, const std::function<void(std::string*)>& build, Clock::time_point deadline);

  // Answers alive now (built or being built).
  std::size_t Alive() const;

  // The answer to give way while a request waits for room: the oldest one
  // built, from `from` (its building plus `contendedHold`) on. A null
  // `answer` when no request waits, room is free, or nothing built can give way.
  struct Yield {
    const std::string* answer = nullptr;
    Clock::time_point from;
  };
  Yield Yielding() const;

  // Stops the builder thread (after the build in progress).
  ~SharedAnswers();
  SharedAnswers(const SharedAnswers&) = delete;
  SharedAnswers& operator=(const SharedAnswers&) = delete;

 private:
  SharedAnswers(std::size_t maxAnswers, std::chrono::milliseconds reuseAge,
                std::chrono::milliseconds contendedHold, std::function<void()> waiting)
      : m_maxAnswers(maxAnswers),
        m_reuseAge(reuseAge),
        m_contendedHold(contendedHold),
        m_waiting(std::move(waiting)) {}
  // A released answer: first no longer one that can give way, then (once
  // its memory is freed) no longer counted.
  void Forget(std::uint64_t id);
  void Release();
  // Takes the request of `*ticket` out of the line for room, if in it.
  void LeaveLine(std::uint64_t* ticket) ZR_REQUIRES(m_mutex);
  // Runs `job` on the builder thread and returns when it is done.
  void OnBuilder(const std::function<void()>& job);
  void RunBuilds();

  struct Kind {
    std::weak_ptr<const std::string> newest;
    Clock::time_point builtAt;
    bool building = false;
  };

  // An answer built and alive.
  struct Built {
    std::uint64_t id;
    const std::string* answer;
    Clock::time_point at;
  };

  const std::size_t m_maxAnswers;
  const std::chrono::milliseconds m_reuseAge;
  const std::chrono::milliseconds m_contendedHold;
  const std::function<void()> m_waiting;
  mutable zrperf::Mutex m_mutex;
  std::condition_variable m_changed;  // an answer was built or released (m_changes moved)
  Kind m_kinds[kKinds] ZR_GUARDED_BY(m_mutex);
  std::size_t m_alive ZR_GUARDED_BY(m_mutex) = 0;
  std::uint64_t m_changes ZR_GUARDED_BY(m_mutex) = 0;     // builds, failures and releases so far
  std::vector<Built> m_built ZR_GUARDED_BY(m_mutex);      // at most m_maxAnswers
  std::uint64_t m_builds ZR_GUARDED_BY(m_mutex) = 0;      // ids of answers built so far
  std::set<std::uint64_t> m_line ZR_GUARDED_BY(m_mutex);  // tickets of those waiting for room
  std::uint64_t m_tickets ZR_GUARDED_BY(m_mutex) = 0;     // tickets given so far

  // The builder thread and its one job at a time (a leaf lock, never held
  // with m_mutex).
  zrperf::Mutex m_buildMutex;
  std::condition_variable m_buildWake;
  const std::function<void()>* m_job ZR_GUARDED_BY(m_buildMutex) = nullptr;
  std::uint64_t m_jobsDone ZR_GUARDED_BY(m_buildMutex) = 0;
  bool m_stopBuilder ZR_GUARDED_BY(m_buildMutex) = false;
  std::thread m_builder;
};

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SHAREDANSWERS_H_
