// FXCriticalSection: a recursive lock owned by threads.
//
// The holding thread may lock again; each Lock() and each successful
// TryLock() adds one level and each Unlock() removes one; the section is free
// when no level is left. Other threads wait (Lock) or fail at once (TryLock,
// both forms: the timed form never waits for its interval).
//
// Built on Boost.Interprocess interprocess_recursive_mutex in its spin-based
// emulation (the build defines BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION for
// every unit): a waiting Lock() spins, yields and sleeps instead of blocking
// in the kernel, so holds must be short.
//
// The owner record (FXLockableResource) is set after every acquisition and
// cleared on every Unlock(), even when an outer level is still held.
//
// REQUIRES: Unlock() only by the holding thread, once per level taken.
// REQUIRES: not destroyed while a thread holds it or waits for it.
//
// fork(): the child has only the thread that called fork(), and the mutex
// records its owner by a thread id that is not valid there (Boost asserts on
// it in debug builds). A fork handler that held a section across fork() calls
// ReinitAfterFork() in the child instead of Unlock(): the section is free
// again, whatever levels were held.
//
// The nesting count is an unsigned 32-bit number; when it is exhausted Lock()
// returns with the caller still holding the section (no owner recorded) and
// TryLock() returns false. No operation throws, reports or logs.

#ifndef ZRPERF_SYNC_CRITICALSECTION_H_
#define ZRPERF_SYNC_CRITICALSECTION_H_

#ifndef BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION
#error \
    "Build with BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION defined (the zrperf targets and zrperf.pc set it)"
#endif

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>
#include <new>

#include "LockableResource.h"

// The emulated mutex synchronises through inline assembly that ThreadSanitizer
// cannot see; the annotations below describe it to TSan as a recursive mutex
// (and make TSan ignore the mutex's own racy-by-design owner reads).
#if defined(__SANITIZE_THREAD__)
#define ZRPERF_TSAN_MUTEX 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZRPERF_TSAN_MUTEX 1
#endif
#endif
#if defined(ZRPERF_TSAN_MUTEX)
#include <sanitizer/tsan_interface.h>
#define ZRPERF_TSAN(call) call
#else
#define ZRPERF_TSAN(call) ((void)0)
#endif

class FXCriticalSection : public FXLockableResource {
 public:
  FXCriticalSection() {
    ZRPERF_TSAN(__tsan_mutex_create(this, __tsan_mutex_write_reentrant | __tsan_mutex_not_static));
  }
  ~FXCriticalSection() override {
    ZRPERF_TSAN(__tsan_mutex_destroy(this, __tsan_mutex_not_static));
  }

  FXCriticalSection(const FXCriticalSection&) = delete;
  FXCriticalSection& operator=(const FXCriticalSection&) = delete;

  void Lock() override ZR_NO_THREAD_SAFETY_ANALYSIS {  // the Boost mutex is not annotated
    ZRPERF_TSAN(__tsan_mutex_pre_lock(this, __tsan_mutex_try_lock));
    try {
      m_mutex.lock();
    } catch (const boost::interprocess::interprocess_exception&) {
      // Nesting count exhausted: the caller still holds the section at full
      // depth; return without recording an owner.
      ZRPERF_TSAN(__tsan_mutex_post_lock(this, __tsan_mutex_try_lock_failed, 0));
      return;
    }
    ZRPERF_TSAN(__tsan_mutex_post_lock(this, __tsan_mutex_try_lock, 0));
    SetLockOwner();
  }

  bool TryLock() override ZR_NO_THREAD_SAFETY_ANALYSIS {
    bool locked = false;
    ZRPERF_TSAN(__tsan_mutex_pre_lock(this, __tsan_mutex_try_lock));
    try {
      locked = m_mutex.try_lock();
    } catch (const boost::interprocess::interprocess_exception&) {
      locked = false;
    }
    ZRPERF_TSAN(__tsan_mutex_post_lock(
        this, locked ? __tsan_mutex_try_lock : __tsan_mutex_try_lock_failed, 0));
    if (locked) SetLockOwner();
    return locked;
  }

  bool TryLock(CTimeInterval timeout) override ZR_NO_THREAD_SAFETY_ANALYSIS {
    return FXLockableResource::TryLock(timeout);
  }

  void Unlock() override ZR_NO_THREAD_SAFETY_ANALYSIS {
    ClearLockOwner();
    ZRPERF_TSAN(__tsan_mutex_pre_unlock(this, 0));
    m_mutex.unlock();
    ZRPERF_TSAN(__tsan_mutex_post_unlock(this, 0));
  }

  // In a forked child only: makes the section free, with no owner and no
  // level held, without asking the mutex (which the parent's threads may have
  // held). The old mutex is overwritten, not destroyed: it holds no resource.
  // REQUIRES: called in the child of fork() before any other thread exists
  // (a pthread_atfork child handler), by the thread whose prepare handler
  // held the section across fork() (so the guarded data is consistent).
  void ReinitAfterFork() ZR_NO_THREAD_SAFETY_ANALYSIS {
    ClearLockOwner();
    // ThreadSanitizer saw the calling thread take the section in the prepare
    // handler: it is told that every level is released.
    ZRPERF_TSAN((void)__tsan_mutex_pre_unlock(this, __tsan_mutex_recursive_unlock));
    ::new (static_cast<void*>(&m_mutex)) boost::interprocess::interprocess_recursive_mutex();
    ZRPERF_TSAN(__tsan_mutex_post_unlock(this, __tsan_mutex_recursive_unlock));
  }

 private:
  boost::interprocess::interprocess_recursive_mutex m_mutex;
};

#endif  // ZRPERF_SYNC_CRITICALSECTION_H_
