// zrperf::IntrusiveList: a doubly linked list threaded through its elements,
// for the process-wide registries that fork handlers walk (the counter sets,
// the sinks' locks, the textfile writers' locks, the counters' slot owners).
// Linking and unlinking never allocate, so they cannot fail, and a fork
// handler may walk the list with no memory of its own.
//
//   struct Writer { zrperf::IntrusiveLink<Writer> link; ... };
//   zrperf::IntrusiveList<Writer, &Writer::link> g_writers ZR_GUARDED_BY(g_mutex);
//   g_writers.PushFront(&writer);          // in Writer's constructor
//   g_writers.Remove(&writer);             // in its destructor
//   g_writers.ForEach([](Writer& w) { ... });
//
// An element is in at most one list through one link, and is neither copied
// nor moved while it is linked.
//
// Thread-safety: none of its own; the owner guards each list with one lock.

#ifndef ZRPERF_SYNC_INTRUSIVELIST_H_
#define ZRPERF_SYNC_INTRUSIVELIST_H_

namespace zrperf {

template <typename T>
class IntrusiveLink;
template <typename T, IntrusiveLink<T> T::*kLink>
class IntrusiveList;

// The two pointers an element carries for its list (two words: its layout is
// that of a pair of pointers, previous first).
template <typename T>
class IntrusiveLink {
 public:
  IntrusiveLink() = default;
  IntrusiveLink(const IntrusiveLink&) = delete;
  IntrusiveLink& operator=(const IntrusiveLink&) = delete;

 private:
  template <typename U, IntrusiveLink<U> U::*>
  friend class IntrusiveList;
  T* m_pPrev = nullptr;
  T* m_pNext = nullptr;
};

template <typename T, IntrusiveLink<T> T::*kLink>
class IntrusiveList {
  using Link = IntrusiveLink<T>;

 public:
  IntrusiveList() = default;
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;

  bool Empty() const noexcept { return m_pFirst == nullptr; }

  // Links `element`, which is in no list, at the front.
  void PushFront(T* element) noexcept {
    Link& link = element->*kLink;
    link.m_pPrev = nullptr;
    link.m_pNext = m_pFirst;
    if (m_pFirst != nullptr) (m_pFirst->*kLink).m_pPrev = element;
    m_pFirst = element;
  }

  // Unlinks `element`, which is in this list.
  void Remove(T* element) noexcept {
    Link& link = element->*kLink;
    if (link.m_pPrev != nullptr) {
      (link.m_pPrev->*kLink).m_pNext = link.m_pNext;
    } else {
      m_pFirst = link.m_pNext;
    }
    if (link.m_pNext != nullptr) (link.m_pNext->*kLink).m_pPrev = link.m_pPrev;
    link.m_pPrev = link.m_pNext = nullptr;
  }

  // Calls visit(T&) for every element, the most recently linked first.
  // `visit` must not link or unlink elements of this list.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (T* element = m_pFirst; element != nullptr; element = (element->*kLink).m_pNext) {
      visit(*element);
    }
  }

 private:
  T* m_pFirst = nullptr;
};

}  // namespace zrperf

#endif  // ZRPERF_SYNC_INTRUSIVELIST_H_
