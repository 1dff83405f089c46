// Internal to the counters engine (built into libzrframework): the per-thread slots beneath
// CTimeCounter and CMediaSpeedCounter. Those public classes embed a SlotOwner, so this header is
// installed with them and SlotOwner's layout is part of the library's ABI: keep it stable. The
// inline CTimeCounter::AddSample() reads the slot cache (t_pSlotCache, SlotCacheEntry), so its
// layout is part of the ABI too.
//
// A counter owns a SlotOwner. A thread that records into the counter gets a
// slot of its own on its first record and from then on writes only that slot,
// with relaxed loads and stores of atomics: one writer per slot, no lock, no
// read-modify-write, no allocation, and no cache line shared with another
// writing thread. A thread finds its slot through a small direct-mapped cache
// keyed by the owner's id; ids are never reused, so a counter built at a dead
// counter's address never reaches the dead counter's slots.
//
// Lifetime protocol (every step below is off the recording path):
// - The slot belongs to its thread, which deletes it. While the counter lives
//   the slot is also linked into the owner's list, guarded by the owner's
//   mutex; readers take that mutex and add the linked slots to what the
//   counter has folded in.
// - When the thread ends, each of its slots whose counter still lives is
//   folded into the counter (Fold(), under the owner's mutex) and unlinked,
//   then deleted: the samples stay, the memory goes.
// - When the counter is destroyed, it detaches its linked slots (clears their
//   owner). Each thread deletes its detached slots the next time it builds a
//   slot (when it first records into some other counter, as it does into the
//   counters that replace destroyed ones) or when it ends.
// - One process-wide mutex orders thread ends, tidying and counter
//   destruction, so that a thread never folds into a counter being destroyed.
//   Lock order: that mutex, then an owner's mutex.
//
// fork(): the child has only the thread that called fork(), so a lock that
// another thread held at that moment would stay held there for good. Every
// live owner is linked into a process-wide list (guarded by the process-wide
// mutex); the library's pthread_atfork handlers take the process-wide mutex
// and then every owner's mutex before fork() (waiting for readers and ending
// threads to let go, so every list and figure is whole) and release them on
// both sides (a std::mutex records no owner; in the child the copy of the
// thread that took them releases them). Slots of the parent's other threads stay linked in the
// child: their samples count, and nothing frees them there. Nothing else of the child waits for a
// parent thread.

#ifndef ZRPERF_COUNTERS_INTERNAL_THREADSLOTS_H_
#define ZRPERF_COUNTERS_INTERNAL_THREADSLOTS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/IntrusiveList.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

namespace zrfw {

class SlotOwner;
class ThreadSlot;

// One entry of a thread's slot cache: the slot of the owner with id `id`
// (0: empty).
struct SlotCacheEntry {
  std::uint64_t id;
  ThreadSlot* slot;
};
constexpr std::size_t kSlotCacheEntries = 64;

// The calling thread's slot cache, kSlotCacheEntries entries indexed by owner
// id modulo their number; an empty one (never null) until the thread's first
// slot and after its slots are freed. Read by the recording path inlined into
// callers, so it is exported; initial-exec TLS (the library is loaded with the
// process, never dlopen()ed late), which callers read with one load from the
// thread pointer where the default model would call __tls_get_addr() from a
// shared library.
extern ZRFW_EXPORT __thread const SlotCacheEntry* t_pSlotCache
    __attribute__((tls_model("initial-exec")));

// The process-wide mutex above. Constant-initialised and never destroyed in
// effect, so it is usable at any point of process start and exit.
extern zrperf::Mutex g_lifetimeMutex;

// A thread's slot in one counter; each counter derives its own slot type with
// the fields it records. Aligned to a cache line so that no two threads' hot
// fields share one.
class alignas(64) ThreadSlot {
 public:
  explicit ThreadSlot(SlotOwner* owner) noexcept : m_pOwner(owner) {}
  virtual ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // Adds what the slot holds to its counter's folded figures. Called on the
  // slot's thread as it ends, with the owner's mutex held (the counter's own
  // lock, which the slot cannot name here) and the counter alive.
  virtual void Fold() noexcept = 0;

 private:
  friend class SlotOwner;
  friend struct ThreadTable;

  // Null once the counter is gone.
  SlotOwner* m_pOwner ZR_GUARDED_BY(g_lifetimeMutex);
  // The owner's list; guarded by the owner's mutex (m_pOwner->Mutex(), which
  // the analysis cannot name from here: SlotOwner walks it under that mutex).
  ThreadSlot* m_pPrev = nullptr;
  ThreadSlot* m_pNext = nullptr;
};

class SlotOwner {
 public:
  // Builds a slot for the calling thread; null when memory is exhausted.
  using Factory = ThreadSlot* (*)(SlotOwner* owner, void* context) noexcept;

  // No slots, and an id never used before.
  SlotOwner() noexcept;
  // Detaches every linked slot. REQUIRES: no thread records or reads any more.
  ~SlotOwner();

  SlotOwner(const SlotOwner&) = delete;
  SlotOwner& operator=(const SlotOwner&) = delete;

  // The owner's id, never reused in the process.
  std::uint64_t Id() const noexcept { return m_nId; }

  // The calling thread's slot, built with `make(this, context)` and linked on
  // the thread's first call; null when no slot can be had (memory exhausted,
  // or a thread still recording while the library unloads), in which case the
  // caller records under Mutex() instead.
  ThreadSlot* Local(Factory make, void* context) noexcept {
    ThreadSlot* slot = Cached();
    return __builtin_expect(slot != nullptr, 1) ? slot : LocalSlow(make, context);
  }

  // The calling thread's slot when its cache holds it (every record after the
  // thread's first, unless another owner took the cache entry); null
  // otherwise, when Local() builds or finds it.
  ThreadSlot* Cached() const noexcept {
    const SlotCacheEntry& entry = t_pSlotCache[m_nId % kSlotCacheEntries];
    if (entry.id != m_nId) return nullptr;
    // An entry with an owner's id always has its slot (ids start at 1): the
    // compiler need not test the slot again.
    if (entry.slot == nullptr) __builtin_unreachable();
    return entry.slot;
  }

  // Guards the list and the counter's folded figures. Readers hold it while
  // they walk the slots. Taken after g_lifetimeMutex when both are held.
  zrperf::Mutex& Mutex() const noexcept ZR_RETURN_CAPABILITY(m_mutex) { return m_mutex; }

  // Calls `visit(slot)` for each linked slot.
  template <typename Visit>
  void ForEachSlot(Visit&& visit) const ZR_REQUIRES(m_mutex) {
    for (const ThreadSlot* slot = m_pHead; slot != nullptr; slot = slot->m_pNext) visit(*slot);
  }

 private:
  friend struct ThreadTable;
  ThreadSlot* LocalSlow(Factory make, void* context) noexcept;
  void Link(ThreadSlot* slot) noexcept ZR_EXCLUDES(m_mutex);  // takes the mutex
  void Unlink(ThreadSlot* slot) noexcept ZR_REQUIRES(m_mutex);

  friend struct ForkGuard;

  const std::uint64_t m_nId;
  mutable zrperf::Mutex m_mutex ZR_ACQUIRED_AFTER(g_lifetimeMutex);
  ThreadSlot* m_pHead ZR_GUARDED_BY(m_mutex) = nullptr;
  // The link into the process-wide list of live owners, for the fork
  // handlers (guarded by g_lifetimeMutex; two pointers, as always).
  zrperf::IntrusiveLink<SlotOwner> m_ownerLink;
};

// Single-writer field update: the writing thread reads its own field and
// stores the new value; readers on other threads see old or new, never torn.
template <typename T>
inline T LoadRelaxed(const std::atomic<T>& field) noexcept {
  return field.load(std::memory_order_relaxed);
}
template <typename T>
inline void StoreRelaxed(std::atomic<T>& field, T value) noexcept {
  field.store(value, std::memory_order_relaxed);
}

// The counters' folded totals: wide enough that no realistic sum reaches its
// largest value, so that means and throughputs stay exact where the 64-bit
// figures hold at theirs.
__extension__ typedef unsigned __int128 Uint128;

// The largest 64-bit value when `wide` does not fit.
inline std::uint64_t Clamp64(Uint128 wide) noexcept {
  return wide > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(wide);
}

}  // namespace zrfw

#endif  // ZRPERF_COUNTERS_INTERNAL_THREADSLOTS_H_
