#include "ThreadSlots.h"

#include <pthread.h>

#include <cstddef>
#include <new>
#include <unordered_map>

namespace zrfw {

namespace {

// Ids of owners; 0 marks an empty cache entry.
std::atomic<std::uint64_t> g_nNextOwnerId{1};

// Goes up each time an owner that had slots is destroyed; a thread whose
// table has seen an older value has detached slots to free.
std::atomic<std::uint64_t> g_nDetachments{0};

}  // namespace

// Orders thread ends, tidying and owner destruction (see the header).
zrperf::Mutex g_lifetimeMutex;

// The pthread_atfork handlers: every owner's lock held across fork() (in the
// lock order: the process-wide mutex, then the owners) and released on both
// sides. In the child the thread that runs the handler is the copy of the one
// that took them, and a std::mutex records no owner, so releasing them there
// is sound (no other thread exists yet). Not checked by the analysis: the
// locks taken in one handler are released in another.
struct ForkGuard {
  static void Prepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
    g_lifetimeMutex.Lock();
    owners.ForEach([](SlotOwner& owner) ZR_NO_THREAD_SAFETY_ANALYSIS { owner.m_mutex.Lock(); });
  }
  static void Parent() ZR_NO_THREAD_SAFETY_ANALYSIS {
    owners.ForEach([](SlotOwner& owner) ZR_NO_THREAD_SAFETY_ANALYSIS { owner.m_mutex.Unlock(); });
    g_lifetimeMutex.Unlock();
  }
  static void Child() { Parent(); }

  ForkGuard() noexcept { pthread_atfork(&Prepare, &Parent, &Child); }

  // The live owners (a friend's reach to their links).
  static zrperf::IntrusiveList<SlotOwner, &SlotOwner::m_ownerLink> owners
      ZR_GUARDED_BY(g_lifetimeMutex);
};
zrperf::IntrusiveList<SlotOwner, &SlotOwner::m_ownerLink> ForkGuard::owners;

// The slots of one thread, by owner id, with a direct-mapped cache in front.
struct ThreadTable {
  using Entry = SlotCacheEntry;

  ThreadTable() = default;
  ThreadTable(const ThreadTable&) = delete;
  ThreadTable& operator=(const ThreadTable&) = delete;

  // The thread is ending: folds every slot whose counter lives, then frees all.
  ~ThreadTable() {
    zrperf::MutexLock lifetime(&g_lifetimeMutex);
    for (auto& item : slots) {
      ThreadSlot* slot = item.second;
      if (SlotOwner* owner = slot->m_pOwner) {
        zrperf::MutexLock guard(&owner->m_mutex);
        slot->Fold();
        owner->Unlink(slot);
      }
      delete slot;
    }
  }

  Entry& EntryFor(std::uint64_t id) noexcept { return cache[id % kSlotCacheEntries]; }

  // Frees the slots whose counters are gone, if any counter that had slots
  // was destroyed since the last tidy.
  void Tidy() noexcept {
    if (g_nDetachments.load(std::memory_order_relaxed) == seenDetachments) return;
    zrperf::MutexLock lifetime(&g_lifetimeMutex);
    seenDetachments = g_nDetachments.load(std::memory_order_relaxed);
    for (auto it = slots.begin(); it != slots.end();) {
      if (it->second->m_pOwner == nullptr) {
        Entry& entry = EntryFor(it->first);
        if (entry.id == it->first) entry = Entry{0, nullptr};
        delete it->second;
        it = slots.erase(it);
      } else {
        ++it;
      }
    }
  }

  Entry cache[kSlotCacheEntries] = {};
  std::unordered_map<std::uint64_t, ThreadSlot*> slots;
  std::uint64_t seenDetachments = 0;
};

namespace {
// The cache of a thread without a table: no entry matches an owner.
const SlotCacheEntry kNoSlots[kSlotCacheEntries] = {};
}  // namespace

__thread const SlotCacheEntry* t_pSlotCache = kNoSlots;

namespace {

// The calling thread's table (t_pSlotCache points at its cache). A plain
// pointer in initial-exec TLS: no initialisation check. A pthread key frees
// the table when the thread ends; key destructors run after every C++
// thread_local destructor, so counters used from those still reach their
// slots.
__attribute__((tls_model("initial-exec"))) thread_local ThreadTable* t_pTable = nullptr;

extern "C" void DestroyThreadTable(void* table) {
  if (t_pTable == table) {
    t_pTable = nullptr;
    t_pSlotCache = kNoSlots;
  }
  delete static_cast<ThreadTable*>(table);
}

// Deleted when the library is unloaded, so that no thread ending afterwards
// calls into unmapped code; tables still attached then are left behind.
class ThreadKey {
 public:
  ThreadKey() noexcept : m_bValid(pthread_key_create(&m_key, &DestroyThreadTable) == 0) {}
  ~ThreadKey() {
    // An atomic store, which the compiler keeps although the object's life
    // ends here: a thread recording after this must not attach its table to
    // a key that may have been handed out again.
    if (m_bValid.exchange(false)) pthread_key_delete(m_key);
  }
  ThreadKey(const ThreadKey&) = delete;
  ThreadKey& operator=(const ThreadKey&) = delete;

  // Arranges for `table` to be freed when the calling thread ends.
  bool Attach(ThreadTable* table) noexcept {
    return m_bValid.load() && pthread_setspecific(m_key, table) == 0;
  }

 private:
  pthread_key_t m_key;
  std::atomic<bool> m_bValid;  // false before construction (zero-initialised) and after
};

ThreadKey g_threadKey;

// Registered while the library loads, before any owner can exist; glibc drops
// the handlers when the library is unloaded.
ForkGuard g_forkGuard;

}  // namespace

ThreadSlot::~ThreadSlot() = default;

SlotOwner::SlotOwner() noexcept : m_nId(g_nNextOwnerId.fetch_add(1, std::memory_order_relaxed)) {
  zrperf::MutexLock lifetime(&g_lifetimeMutex);
  ForkGuard::owners.PushFront(this);
}

SlotOwner::~SlotOwner() {
  zrperf::MutexLock lifetime(&g_lifetimeMutex);
  ForkGuard::owners.Remove(this);
  zrperf::MutexLock guard(&m_mutex);
  if (m_pHead == nullptr) return;
  for (ThreadSlot* slot = m_pHead; slot != nullptr; slot = slot->m_pNext) slot->m_pOwner = nullptr;
  m_pHead = nullptr;
  g_nDetachments.fetch_add(1, std::memory_order_relaxed);
}

ThreadSlot* SlotOwner::LocalSlow(Factory make, void* context) noexcept {
  ThreadTable* table = t_pTable;
  if (table == nullptr) {
    table = new (std::nothrow) ThreadTable;
    if (table == nullptr) return nullptr;
    if (!g_threadKey.Attach(table)) {
      delete table;
      return nullptr;
    }
    t_pTable = table;
    t_pSlotCache = table->cache;
  }

  ThreadSlot* slot = nullptr;
  auto found = table->slots.find(m_nId);
  if (found != table->slots.end()) {
    slot = found->second;  // its cache entry was taken by another counter
  } else {
    table->Tidy();
    slot = make(this, context);
    if (slot == nullptr) return nullptr;
    try {
      table->slots.emplace(m_nId, slot);
    } catch (...) {
      delete slot;
      return nullptr;
    }
    Link(slot);
  }
  ThreadTable::Entry& entry = table->EntryFor(m_nId);
  entry.id = m_nId;
  entry.slot = slot;
  return slot;
}

void SlotOwner::Link(ThreadSlot* slot) noexcept {
  zrperf::MutexLock guard(&m_mutex);
  slot->m_pPrev = nullptr;
  slot->m_pNext = m_pHead;
  if (m_pHead != nullptr) m_pHead->m_pPrev = slot;
  m_pHead = slot;
}

void SlotOwner::Unlink(ThreadSlot* slot) noexcept {
  if (slot->m_pPrev != nullptr) {
    slot->m_pPrev->m_pNext = slot->m_pNext;
  } else {
    m_pHead = slot->m_pNext;
  }
  if (slot->m_pNext != nullptr) slot->m_pNext->m_pPrev = slot->m_pPrev;
  slot->m_pPrev = slot->m_pNext = nullptr;
}

}  // namespace zrfw
