// auto_lock: a scope guard that holds a FXLockableResource.
//
// The guard takes the resource at most once and releases only what it took,
// however often its Lock() and Unlock() are called; the destructor releases a
// hold that is still taken. A null resource makes every operation a no-op.
// A guard belongs to one thread and is never shared, copied or assigned.
//
//   void CPerfCounters::Insert(...) {
//     auto_lock guard(&m_csLock, true);  // locked now
//     ...                                // released on every way out
//   }
//
// For clang's lock checking the guard holds the resource from construction
// (lockNow false included) to destruction, and Lock()/Unlock() retake and
// release it: construct with lockNow false only where nothing guarded by the
// resource is touched before Lock().
//
// REQUIRES: the resource outlives the guard.

#ifndef ZRPERF_SYNC_AUTOLOCK_H_
#define ZRPERF_SYNC_AUTOLOCK_H_

#include "LockableResource.h"

class ZR_SCOPED_CAPABILITY auto_lock {
 public:
  // Stores the resource; takes it at once when `lockNow` is set.
  auto_lock(FXLockableResource* resource, bool lockNow) ZR_ACQUIRE(resource)
      : m_pResource(resource), m_bLocked(false) {
    if (lockNow) Lock();
  }
  ~auto_lock() ZR_RELEASE() { Unlock(); }

  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;

  void Lock() ZR_ACQUIRE() ZR_NO_THREAD_SAFETY_ANALYSIS {  // conditional by design
    if (m_pResource != nullptr && !m_bLocked) {
      m_pResource->Lock();
      m_bLocked = true;
    }
  }

  void Unlock() ZR_RELEASE() ZR_NO_THREAD_SAFETY_ANALYSIS {
    if (m_pResource != nullptr && m_bLocked) {
      m_pResource->Unlock();
      m_bLocked = false;
    }
  }

  bool IsLocked() const noexcept { return m_bLocked; }

 private:
  FXLockableResource* m_pResource;  // not owned; may be null
  bool m_bLocked;                   // true while this guard holds the resource
};

#endif  // ZRPERF_SYNC_AUTOLOCK_H_
