// CAlertableEventThread: a thread that waits on an auto-reset event with a timeout.
//
// A subclass overrides the handlers; the base runs them on its own thread:
//
//   Start() ──> thread: OnStart(); OnRun() { loop: WaitForEvent() ->
//               OnEvent() | OnTimeout() | leave the loop on stop }; OnStop();
//               OnCompletion()
//
// - Signal() sets the event. The thread runs OnEvent() once per wake-up; signals
//   that arrive before the thread wakes merge into one (auto-reset).
// - Each time the timeout passes without an event the thread runs OnTimeout().
//   The wait restarts after every handler; SetTimeout() takes effect on the
//   next wait.
// - Stop(wait) asks the thread to leave its loop after the handler that is
//   running; with wait=true it also joins the thread (from any thread but its
//   own).
// - An exception that escapes a handler is caught, reported through
//   g_ptrLogWriter at level -1 (if a sink is installed) and the loop goes on.
// - The destructor stops and joins a running thread; run on the thread itself
//   it detaches instead of deadlocking.
//
// Thread-safety: Signal(), Stop(), WaitForStop(), SetTimeout(), GetTimeout()
// and IsRunning() may be called from any thread at any time. Start() and
// StartSynchronously() start the thread once; a stopped thread is not restarted.
// REQUIRES: a subclass that overrides handlers stops the thread (Stop(true)) in
// its own destructor if the thread may still run then, since the base's
// destructor runs after the subclass part is gone.

#ifndef ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_
#define ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_

#include <memory>

#include "../sync/Export.h"
#include "../sync/KyError.h"
#include "../sync/TimeInterval.h"

class ZRFW_EXPORT CAlertableEventThread {
 public:
  // What WaitForEvent() saw.
  enum WaitResult { kWaitEvent = 0, kWaitTimeout = 1, kWaitStop = 2, kWaitAbandoned = 3 };

  // Not running; timeout infinite until SetTimeout() is called.
  CAlertableEventThread();

  // The slots below keep this declaration order.
  virtual ~CAlertableEventThread();

  // Starts the thread and returns at once. An error result if the thread is
  // already started or cannot be created.
  virtual CKyError Start();
  // Starts the thread and returns once OnStart() has run on it.
  virtual CKyError StartSynchronously();
  // Asks the thread to end; with `wait`, joins it (an error result when called
  // on the thread itself, which is then only asked to end).
  virtual CKyError Stop(bool wait);
  // Waits at most `timeout` for the thread to end; true when it has ended (or
  // never started).
  virtual bool WaitForStop(CTimeInterval timeout);
  // The thread body: OnStart(), OnRun(), OnStop(), OnCompletion().
  virtual void Run();
  // Waits for the event, the timeout or a stop request, whichever comes first.
  virtual WaitResult WaitForEvent();
  // Runs first on the new thread. Default: nothing.
  virtual void OnStart();
  // The wait loop; dispatches to OnEvent()/OnTimeout() until a stop request.
  virtual void OnRun();
  // Runs on the thread after the loop has ended. Default: nothing.
  virtual void OnStop();
  // Runs once per signalled event. Default: nothing.
  virtual void OnEvent();
  // Runs last on the thread. Default: nothing.
  virtual void OnCompletion();
  // Runs each time the timeout passes without an event. Default: nothing.
  virtual void OnTimeout();
  // Runs when the wait itself failed (the loop then ends). Default: nothing.
  virtual void OnAbandoned();
  // Sets the wait timeout for the next wait; zero or negative waits forever.
  virtual void SetTimeout(CTimeInterval timeout);
  // Marks the stop request and wakes the thread; used by Stop().
  virtual void InternalStop();

  // Sets the thread's auto-reset event.
  void Signal();
  CTimeInterval GetTimeout() const;
  // True from a successful Start() until the thread body has returned.
  bool IsRunning() const;

  CAlertableEventThread(const CAlertableEventThread&) = delete;
  CAlertableEventThread& operator=(const CAlertableEventThread&) = delete;

 private:
  struct State;
  std::unique_ptr<State> m_pState;
};

#endif  // ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_
