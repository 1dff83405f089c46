// FXLockableResource: the interface of anything that can be locked.
//
// It records the thread that last took it (GetCurrentThreadId(), 0 = none).
// The owner record is written only by the holding thread while it holds the
// resource, so it needs no atomic access; reading it is meaningful only on
// the holding thread (for diagnostics and tests).
//
// The class is a capability for clang's lock checking: fields marked
// ZR_GUARDED_BY(m_csLock) are proven to be touched only under the lock.

#ifndef ZRPERF_SYNC_LOCKABLERESOURCE_H_
#define ZRPERF_SYNC_LOCKABLERESOURCE_H_

#include <cstdint>

#include "ThreadAnnotations.h"
#include "ThreadId.h"
#include "TimeInterval.h"

class ZR_CAPABILITY("mutex") FXLockableResource {
 public:
  FXLockableResource() noexcept : m_nLockOwner(0) {}
  virtual ~FXLockableResource() {}

  // Takes the resource if it is free (or already held by the caller, for a
  // recursive resource) and returns true; otherwise returns false at once.
  virtual bool TryLock() ZR_TRY_ACQUIRE(true) = 0;

  // The timed form. The shared body below calls TryLock() once and returns its
  // result: it never waits for the interval.
  virtual bool TryLock(CTimeInterval timeout) ZR_TRY_ACQUIRE(true) = 0;

  // Takes the resource, waiting as long as it takes.
  virtual void Lock() ZR_ACQUIRE() = 0;

  // Releases one hold. REQUIRES: the calling thread holds the resource.
  virtual void Unlock() ZR_RELEASE() = 0;

  // Tells the checker that the caller holds the resource (for code that runs
  // under a hold taken elsewhere, such as a callback). No run-time check.
  void AssertHeld() const ZR_ASSERT_CAPABILITY(this) {}

  // The id of the thread that last took the resource; 0 after any Unlock().
  std::uint32_t GetLockOwner() const noexcept { return m_nLockOwner; }

 protected:
  void SetLockOwner() noexcept { m_nLockOwner = GetCurrentThreadId(); }
  void ClearLockOwner() noexcept { m_nLockOwner = 0; }

 private:
  std::uint32_t m_nLockOwner;
};

inline bool FXLockableResource::TryLock(CTimeInterval /*timeout*/) {
  return TryLock();
}

#endif  // ZRPERF_SYNC_LOCKABLERESOURCE_H_
