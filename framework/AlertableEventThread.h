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
//   own). A stop request wins over a pending event.
// - An exception that escapes a handler is caught, reported through
//   g_ptrLogWriter at level -1 (if a sink is installed) and the loop goes on.
// - The destructor stops and joins a running thread; run on the thread itself
//   (a handler that deletes its object) it detaches instead of deadlocking, and
//   the thread then ends without calling anything more on the object.
// - The thread touches only the object and a heap record the two share; nothing
//   of it is static. An object that is never destroyed may therefore keep its
//   thread running, or stopped but never joined, until the process exits.
//
// Thread-safety: Signal(), Stop(), WaitForStop(), SetTimeout(), GetTimeout()
// and IsRunning() may be called from any thread at any time, the thread's own
// handlers included. Start() and StartSynchronously() start the thread once; a
// started thread is never started again, even after it has stopped.
// REQUIRES: a subclass that overrides handlers stops the thread (Stop(true)) in
// its own destructor if the thread may still run then, since the base's
// destructor runs after the subclass part is gone.

#ifndef ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_
#define ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_

#include <memory>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/KyError.h>
#include <zrperf/sync/TimeInterval.h>

class ZRFW_EXPORT CAlertableEventThread {
 public:
  // What WaitForEvent() saw.
  enum WaitResult { kWaitEvent = 0, kWaitTimeout = 1, kWaitStop = 2, kWaitAbandoned = 3 };

  // Not running; timeout infinite until SetTimeout() is called.
  CAlertableEventThread();

  // The slots below keep this declaration order.

  // Stops a running thread and joins it. On the thread itself it only asks the
  // thread to stop and detaches it.
  virtual ~CAlertableEventThread();

  // Starts the thread and returns at once. An error result if the thread has
  // been started before or cannot be created.
  virtual CKyError Start();
  // Starts the thread and returns once OnStart() has run on it (or the thread
  // body has returned without running it). Errors as Start().
  // REQUIRES: not called on the object's own thread.
  virtual CKyError StartSynchronously();
  // Asks the thread to end after the handler that is running. With `wait`,
  // also waits until the thread body has returned; called so on the thread
  // itself it returns an error result and the thread is only asked to end.
  // Success when the thread was never started.
  virtual CKyError Stop(bool wait);
  // Waits at most `timeout` (zero or negative: does not wait) for the thread
  // body to return; true when it has returned or the thread was never started.
  // On the thread itself it returns false at once.
  virtual bool WaitForStop(CTimeInterval timeout);
  // The thread body: OnStart(), OnRun(), OnStop(), OnCompletion(), each guarded
  // so that an exception escaping one is reported and the next still runs.
  virtual void Run();
  // Waits for the event, the timeout or a stop request, whichever comes first;
  // a stop request wins over a pending event, and an event consumed here is
  // reset. kWaitAbandoned when the wait itself failed.
  virtual WaitResult WaitForEvent();
  // Runs first on the new thread. Default: nothing.
  virtual void OnStart();
  // The wait loop; dispatches to OnEvent()/OnTimeout() until a stop request or
  // an abandoned wait (then OnAbandoned()).
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
  // A wait in progress keeps its deadline.
  virtual void SetTimeout(CTimeInterval timeout);
  // Marks the stop request and wakes the thread; used by Stop() and the
  // destructor. Does not wait.
  virtual void InternalStop();

  // Sets the thread's auto-reset event. A signal given before Start() is kept
  // for the thread's first wait.
  void Signal();
  // The timeout the next wait uses.
  CTimeInterval GetTimeout() const;
  // True from a successful Start() until the thread body has returned.
  bool IsRunning() const;

  CAlertableEventThread(const CAlertableEventThread&) = delete;
  CAlertableEventThread& operator=(const CAlertableEventThread&) = delete;

 private:
  // The thread, its event and flags. Shared with the running thread, which
  // holds its own reference, so that the thread never touches freed memory
  // whatever becomes of the object.
  struct State;
  std::shared_ptr<State> m_pState;
};

#endif  // ZRPERF_FRAMEWORK_ALERTABLEEVENTTHREAD_H_
