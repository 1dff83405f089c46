#include "AlertableEventThread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <ratio>
#include <thread>
#include <utility>

#include <zrperf/sync/CodeLocation.h>
#include <zrperf/sync/Mutex.h>
#include "ErrorUtil.h"
#include "LogWriterInterface.h"

namespace {

// Win32-style codes of the error results built here.
constexpr unsigned kErrorPossibleDeadlock = 1131;    // Stop(true) on the thread itself
constexpr unsigned kErrorAlreadyInitialized = 1247;  // a second Start()
constexpr unsigned kErrorNoSystemResources = 1450;   // the thread could not be created

const char kStartText[] = "virtual CKyError CAlertableEventThread::Start()";
const char kStopText[] = "virtual CKyError CAlertableEventThread::Stop(bool)";
const char kRunText[] = "virtual void CAlertableEventThread::Run()";
const char kOnRunText[] = "virtual void CAlertableEventThread::OnRun()";
const char kMainText[] = "static void CAlertableEventThread::State::Main(CAlertableEventThread*)";

using Units100ns = std::chrono::duration<long long, std::ratio<1, 10'000'000>>;
using Clock = std::chrono::steady_clock;

// Longer waits are cut to this (about 50 years) so that the deadline
// arithmetic cannot overflow the clock's nanosecond count.
constexpr Units100ns kLongestWait = std::chrono::hours(24 * 365 * 50);

// The steady-clock instant `timeout` from now; a negative timeout means now.
Clock::time_point Deadline(CTimeInterval timeout) {
  const Units100ns wait =
      std::clamp(Units100ns(timeout.Get100ns()), Units100ns::zero(), kLongestWait);
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
}

// Reports an exception that escaped `handler` through the process's sink, if
// one is installed. Never throws: the thread must go on whatever the sink does.
void ReportException(const char* function, int line, const char* handler,
                     const char* what) noexcept {
  try {
    zrfw::SendLog(zrfw::LevelRule::kAlways, -1, function, line, "%s threw an exception: %s",
                  handler, what);
  } catch (...) {
    // A sink that fails cannot report its own failure.
  }
}

// Runs `call`; an exception that escapes it is reported and goes no further.
template <typename Call>
void Guarded(const char* function, int line, const char* handler, Call&& call) noexcept {
  try {
    call();
  } catch (const std::exception& e) {
    ReportException(function, line, handler, e.what());
  } catch (...) {
    ReportException(function, line, handler, "not derived from std::exception");
  }
}

}  // namespace

// Everything the running thread touches besides the object itself. The object
// and the thread each hold a reference, so the record outlives whichever of
// the two ends last. All fields but `destroyed` are guarded by `mutex`.
struct CAlertableEventThread::State {
  zrperf::Mutex mutex;
  std::condition_variable wake;     // to the thread: event set, stop requested
  std::condition_variable changed;  // from the thread: OnStart() done, body returned, joined
  CTimeInterval timeout ZR_GUARDED_BY(mutex);  // zero or negative: wait forever
  bool event ZR_GUARDED_BY(mutex) = false;     // the auto-reset event
  bool stopRequested ZR_GUARDED_BY(mutex) = false;
  bool started ZR_GUARDED_BY(mutex) = false;  // Start() created the thread; never cleared
  // OnStart() has run, or the body has returned.
  bool startHandled ZR_GUARDED_BY(mutex) = false;
  // The body has returned; nothing more runs on the object.
  bool finished ZR_GUARDED_BY(mutex) = false;
  // One joiner calls thread.join(); the thread must not detach.
  bool joinClaimed ZR_GUARDED_BY(mutex) = false;
  // Joined or detached: the thread object needs nothing more.
  bool released ZR_GUARDED_BY(mutex) = false;
  std::thread thread ZR_GUARDED_BY(mutex);
  std::thread::id id ZR_GUARDED_BY(mutex);  // the thread's id once it runs
  // Set when the object is destroyed on its own thread; the thread then calls
  // nothing more on it. Only that thread writes and reads it.
  std::atomic<bool> destroyed{false};

  // The thread's entry point.
  static void Main(CAlertableEventThread* self, std::shared_ptr<State> state);

  bool OnOwnThread() const ZR_REQUIRES(mutex) {
    return started && id == std::this_thread::get_id();
  }

  void RequestStop() ZR_EXCLUDES(mutex) {
    zrperf::MutexLock lock(&mutex);
    stopRequested = true;
    wake.notify_all();
  }

  // Returns once the body has returned and the thread is joined or has
  // detached itself. The first caller joins; others wait for it.
  // REQUIRES: not called on the thread itself.
  void Join() ZR_EXCLUDES(mutex) {
    zrperf::MutexLock lock(&mutex);
    if (!started) return;
    if (!joinClaimed && !released) {
      joinClaimed = true;
      // The claim makes this the only thread that touches `thread` from here
      // until `released` is set, so the join runs without the mutex (the
      // analysis still counts it as held: the unlock goes through Native()).
      lock.Native().unlock();
      thread.join();
      lock.Native().lock();
      released = true;
      changed.notify_all();
      return;
    }
    changed.wait(lock.Native(), [this] {
      mutex.AssertHeld();  // the wait calls the predicate with the mutex held
      return released;
    });
  }
};

// `state` by value: the thread's own reference keeps the state alive however
// the object and its thread end.
void CAlertableEventThread::State::Main(
    CAlertableEventThread* self,
    std::shared_ptr<State> state) {  // NOLINT(performance-unnecessary-value-param)
  {
    zrperf::MutexLock lock(&state->mutex);
    state->id = std::this_thread::get_id();
  }
  // Run() guards each handler; this catches what an overriding Run() lets out.
  Guarded(kMainText, __LINE__, "Run()", [self] { self->Run(); });

  // From here on only the shared record is touched. A thread nobody has
  // undertaken to join detaches itself, so that a thread that is asked to stop
  // and never joined leaves nothing behind.
  zrperf::MutexLock lock(&state->mutex);
  state->finished = true;
  state->startHandled = true;
  if (!state->joinClaimed) {
    state->thread.detach();
    state->released = true;
  }
  state->changed.notify_all();
}

CAlertableEventThread::CAlertableEventThread() : m_pState(std::make_shared<State>()) {}

CAlertableEventThread::~CAlertableEventThread() {
  State& s = *m_pState;
  bool ownThread;
  {
    zrperf::MutexLock lock(&s.mutex);
    ownThread = s.OnOwnThread();
  }
  s.RequestStop();
  if (ownThread) {
    // Joining would wait for ourselves. The thread sees the flag when the
    // handler that deleted the object returns, and detaches itself at its end.
    s.destroyed.store(true);
  } else {
    s.Join();
  }
}

CKyError CAlertableEventThread::Start() {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  if (s.started) {
    return FXErrorUtil::ErrorWin32(FXCodeLocation(__FILE__, kStartText, __LINE__),
                                   kErrorAlreadyInitialized, "The thread was already started");
  }
  try {
    // The new thread first takes the mutex held here, so it sees `thread` set.
    s.thread = std::thread(&State::Main, this, m_pState);
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(FXCodeLocation(__FILE__, kStartText, __LINE__),
                                   kErrorNoSystemResources, "Failed to create the thread: %s",
                                   e.what());
  }
  s.started = true;
  return CKyError::Success();
}

CKyError CAlertableEventThread::StartSynchronously() {
  CKyError result = CAlertableEventThread::Start();
  if (result.IsError()) return result;
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  s.changed.wait(lock.Native(), [&s] {
    s.mutex.AssertHeld();  // the wait calls the predicate with the mutex held
    return s.startHandled;
  });
  return result;
}

CKyError CAlertableEventThread::Stop(bool wait) {
  InternalStop();
  if (!wait) return CKyError::Success();
  State& s = *m_pState;
  {
    zrperf::MutexLock lock(&s.mutex);
    if (s.OnOwnThread()) {
      return FXErrorUtil::ErrorWin32(FXCodeLocation(__FILE__, kStopText, __LINE__),
                                     kErrorPossibleDeadlock,
                                     "The thread cannot wait for itself to stop");
    }
  }
  s.Join();
  return CKyError::Success();
}

bool CAlertableEventThread::WaitForStop(CTimeInterval timeout) {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  if (!s.started) return true;
  if (s.OnOwnThread()) return false;
  return s.changed.wait_until(lock.Native(), Deadline(timeout), [&s] {
    s.mutex.AssertHeld();  // the wait calls the predicate with the mutex held
    return s.finished;
  });
}

void CAlertableEventThread::Run() {
  // The handlers may destroy the object; the record stays alive through this
  // local reference, and `destroyed` says whether `this` may still be used.
  const std::shared_ptr<State> state = m_pState;
  Guarded(kRunText, __LINE__, "OnStart()", [this] { OnStart(); });
  {
    zrperf::MutexLock lock(&state->mutex);
    state->startHandled = true;
    state->changed.notify_all();
  }
  if (state->destroyed) return;
  Guarded(kRunText, __LINE__, "OnRun()", [this] { OnRun(); });
  if (state->destroyed) return;
  Guarded(kRunText, __LINE__, "OnStop()", [this] { OnStop(); });
  if (state->destroyed) return;
  Guarded(kRunText, __LINE__, "OnCompletion()", [this] { OnCompletion(); });
}

CAlertableEventThread::WaitResult CAlertableEventThread::WaitForEvent() {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  const auto ready = [&s] {
    s.mutex.AssertHeld();  // the wait calls the predicate with the mutex held
    return s.stopRequested || s.event;
  };
  if (s.timeout.Get100ns() <= 0) {
    s.wake.wait(lock.Native(), ready);
  } else if (!s.wake.wait_until(lock.Native(), Deadline(s.timeout), ready)) {
    return kWaitTimeout;
  }
  if (s.stopRequested) return kWaitStop;
  s.event = false;
  return kWaitEvent;
}

void CAlertableEventThread::OnStart() {}

void CAlertableEventThread::OnRun() {
  const std::shared_ptr<State> state = m_pState;
  for (;;) {
    // A wait that throws counts as abandoned.
    WaitResult result = kWaitAbandoned;
    Guarded(kOnRunText, __LINE__, "WaitForEvent()", [this, &result] { result = WaitForEvent(); });
    switch (result) {
      case kWaitEvent:
        Guarded(kOnRunText, __LINE__, "OnEvent()", [this] { OnEvent(); });
        break;
      case kWaitTimeout:
        Guarded(kOnRunText, __LINE__, "OnTimeout()", [this] { OnTimeout(); });
        break;
      case kWaitStop:
        return;
      case kWaitAbandoned:
      default:
        Guarded(kOnRunText, __LINE__, "OnAbandoned()", [this] { OnAbandoned(); });
        return;
    }
    if (state->destroyed) return;
  }
}

void CAlertableEventThread::OnStop() {}

void CAlertableEventThread::OnEvent() {}

void CAlertableEventThread::OnCompletion() {}

void CAlertableEventThread::OnTimeout() {}

void CAlertableEventThread::OnAbandoned() {}

void CAlertableEventThread::SetTimeout(CTimeInterval timeout) {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  s.timeout = timeout;
}

void CAlertableEventThread::InternalStop() {
  m_pState->RequestStop();
}

void CAlertableEventThread::Signal() {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  s.event = true;
  s.wake.notify_one();
}

CTimeInterval CAlertableEventThread::GetTimeout() const {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  return s.timeout;
}

bool CAlertableEventThread::IsRunning() const {
  State& s = *m_pState;
  zrperf::MutexLock lock(&s.mutex);
  return s.started && !s.finished;
}
