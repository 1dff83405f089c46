#include "PerfCounters.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/AutoLock.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

// Finds `name` in `map`, creating the entry with `make()` when it is absent,
// and publishes it in `index`. When the name is absent, `prepare()` runs first
// (it may throw; nothing is inserted then) and `inserted(entry)` runs after the
// entry is stored (it must not throw). Called with the set's lock held.
template <typename Map, typename Index, typename Make, typename Prepare, typename Inserted>
typename Map::value_type& FindOrInsert(Map& map, Index& index, const std::string& name, Make make,
                                       Prepare prepare, Inserted inserted) {
  auto it = map.find(name);
  if (it == map.end()) {
    prepare();
    // The handle owns the counter from here on: if the map cannot store it,
    // the handle's destruction frees the counter.
    typename Map::mapped_type handle;
    if (auto* counter = make()) handle.reset(counter);  // null: the entry keeps a null handle
    it = map.emplace(name, std::move(handle)).first;
    inserted(*it);
  }
  if (index.Find(name) == nullptr) index.Publish(&*it);
  return *it;
}

// Room for one more element without a reallocation in push_back(), growing
// geometrically.
template <typename T>
void ReserveOneMore(std::vector<T>& vec) {
  if (vec.size() == vec.capacity()) vec.reserve(std::max<std::size_t>(64, 2 * vec.capacity()));
}

// Appends the counter's line to `text` when it is due and advances
// `lastLogged`; see CPerfCounters::logTaskCounter().
void AppendDueLine(const std::string& name, const boost::shared_ptr<CTimeCounter>& counter,
                   long long& lastLogged, std::string& text,
                   CPerfCounters::DueList* due = nullptr) {
  if (!counter) return;  // left by a failed allocation: nothing to read

  const long long total = counter->GetTotalSamples();
  if (total != 0 && total != lastLogged) {
    text += "\n\t\t\t\t";
    // The record names a counter up to its first NUL.
    zrperf::AppendRecordText(text, name.c_str(), std::strlen(name.c_str()));
    text += ": ";
    if (due != nullptr) {  // one read for the line and the caller
      due->push_back({&name, counter.get(), counter->GetSnapshot()});
      text += due->back().snapshot.AsString();
    } else {
      text += counter->AsString();
    }
  }
  lastLogged = total;
}

// The interval form of AppendDueLine(): a due counter is read once, as a
// snapshot, for its "Exec Stats" line in `text`, its interval line in
// `intervals` and its new last-logged count; the snapshot then becomes the
// start of its next interval.
void AppendDueLines(const std::string& name, const boost::shared_ptr<CTimeCounter>& counter,
                    long long& lastLogged, std::unique_ptr<CTimeCounterSnapshot>& since,
                    std::string& text, std::string& intervals, CPerfCounters::DueList* due) {
  if (!counter) return;

  const long long total = counter->GetTotalSamples();
  if (total == 0 || total == lastLogged) {
    lastLogged = total;
    return;
  }
  CTimeCounterSnapshot now = counter->GetSnapshot();
  const CTimeCounterSnapshot interval = since ? now.Since(*since) : now;
  const std::size_t start = text.size();
  text += "\n\t\t\t\t";
  zrperf::AppendRecordText(text, name.c_str(), std::strlen(name.c_str()));
  text += ": ";
  intervals.append(text, start, std::string::npos);  // the same name form
  text += now.AsString();
  intervals += interval.AsIntervalString();
  lastLogged = static_cast<long long>(now.GetCount());
  if (due != nullptr) due->push_back({&name, counter.get(), now});
  if (since) {
    *since = std::move(now);
  } else {
    since.reset(new CTimeCounterSnapshot(std::move(now)));
  }
}

// Guards the list of live sets (PerfCountersFork::sets); taken by the fork
// handlers before any set's locks, and by a set's construction and
// destruction with none of its locks held.
zrperf::Mutex g_setsMutex;

}  // namespace

// The pthread_atfork handlers of every counter set: the list's mutex, then
// each set's m_mtxList, m_csPassLock and m_csLock, held across fork(); released in the
// parent. In the child the critical sections are built afresh (they record
// their owner by an id that the child's thread does not have) and the list's
// mutex is released (a std::mutex records no owner). Registered while the library loads, so
// they run after the statistics logger's (registered on its creation): glibc
// runs prepare handlers in the reverse order of registration, which keeps the
// logger's locks before the sets'. Not checked by the analysis: the locks taken
// in one handler are released in another.
struct PerfCountersFork {
  static void Prepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
    g_setsMutex.Lock();
    sets.ForEach([](CPerfCounters& set) ZR_NO_THREAD_SAFETY_ANALYSIS {
      set.m_mtxList.Lock();  // a scrape's list: taken before m_csLock, never with the pass lock
      set.m_csPassLock.Lock();
      set.m_csLock.Lock();
    });
  }
  static void Parent() ZR_NO_THREAD_SAFETY_ANALYSIS {
    sets.ForEach([](CPerfCounters& set) ZR_NO_THREAD_SAFETY_ANALYSIS {
      set.m_csLock.Unlock();
      set.m_csPassLock.Unlock();
      set.m_mtxList.Unlock();
    });
    g_setsMutex.Unlock();
  }
  static void Child() ZR_NO_THREAD_SAFETY_ANALYSIS {
    sets.ForEach([](CPerfCounters& set) ZR_NO_THREAD_SAFETY_ANALYSIS {
      set.m_csLock.ReinitAfterFork();
      set.m_csPassLock.ReinitAfterFork();
      set.m_mtxList.Unlock();  // a std::mutex records no owner
    });
    g_setsMutex.Unlock();
  }
  PerfCountersFork() noexcept { pthread_atfork(&Prepare, &Parent, &Child); }

  // The live sets (a friend's reach to their links).
  static zrperf::IntrusiveList<CPerfCounters, &CPerfCounters::m_setLink> sets
      ZR_GUARDED_BY(g_setsMutex);
};
zrperf::IntrusiveList<CPerfCounters, &CPerfCounters::m_setLink> PerfCountersFork::sets;

namespace {
PerfCountersFork g_setsFork;
}  // namespace

CPerfCounters::CPerfCounters() {
  Init();
  zrperf::MutexLock sets(&g_setsMutex);
  PerfCountersFork::sets.PushFront(this);
}

CPerfCounters::~CPerfCounters() {
  {
    zrperf::MutexLock sets(&g_setsMutex);
    PerfCountersFork::sets.Remove(this);
  }
  Reset();
}

void CPerfCounters::Init() {
  Reset();
  Log();
}

void CPerfCounters::Reset() {
  auto_lock pass(&m_csPassLock, true);
  auto_lock lock(&m_csLock, true);
  for (auto& entry : m_mapTimeCounters) entry.second.reset(new CTimeCounter());
  for (auto& entry : m_mapMediaSpeedCounters) entry.second.reset(new CMediaSpeedCounter(nullptr));
  ++m_nResetGeneration;  // the exporters' lists copy every handle anew
}

boost::shared_ptr<CTimeCounter>& CPerfCounters::GetCounter(const std::string& name) {
  if (TimeEntry* entry = m_idxTimeCounters.Find(name)) return entry->second;

  auto_lock lock(&m_csLock, true);
  long long* lastLogged = nullptr;
  TimeEntry& entry = FindOrInsert(
      m_mapTimeCounters, m_idxTimeCounters, name, [] { return new (std::nothrow) CTimeCounter(); },
      [&] {
        m_csLock.AssertHeld();  // FindOrInsert() runs under the lock taken above
        ReserveOneMore(m_vecTimeRegistered);
        lastLogged = &m_mapLastLoggedSamples[name];  // a node: its address never changes
      },
      [&](TimeEntry& inserted) {
        m_csLock.AssertHeld();  // as above
        *lastLogged = 0;
        m_vecTimeRegistered.push_back(TimeSlot{&inserted, lastLogged});
      });
  return entry.second;
}

boost::shared_ptr<CMediaSpeedCounter>& CPerfCounters::GetMediaSpeedCounter(
    const std::string& name) {
  if (MediaEntry* entry = m_idxMediaSpeedCounters.Find(name)) return entry->second;

  auto_lock lock(&m_csLock, true);
  MediaEntry& entry = FindOrInsert(
      m_mapMediaSpeedCounters, m_idxMediaSpeedCounters, name,
      [] { return new (std::nothrow) CMediaSpeedCounter(nullptr); },
      [&] {
        m_csLock.AssertHeld();  // FindOrInsert() runs under the lock taken above
        ReserveOneMore(m_vecMediaRegistered);
      },
      [&](MediaEntry& inserted) {
        m_csLock.AssertHeld();  // as above
        m_vecMediaRegistered.push_back(&inserted);
      });
  return entry.second;
}

template <typename Entry, typename Registered, typename EntryOf>
void CPerfCounters::UpdateList(Listed<Entry>& listed,
                               std::vector<Registered> CPerfCounters::*registeredMember,
                               EntryOf entryOf) {
  // Under m_csLock: only the entries registered since the previous list,
  // with their handles, and every handle again after a Reset() (rare).
  std::vector<std::pair<Entry*, typename Entry::second_type>> fresh;
  {
    auto_lock lock(&m_csLock, true);
    const std::vector<Registered>& registered = this->*registeredMember;  // guarded: read here only
    fresh.reserve(registered.size() - listed.registered);
    for (std::size_t i = listed.registered; i < registered.size(); ++i) {
      Entry* entry = entryOf(registered[i]);
      fresh.emplace_back(entry, entry->second);
    }
    listed.registered = registered.size();
    if (listed.generation != m_nResetGeneration) {
      for (std::size_t i = 0; i < listed.entries.size(); ++i)
        listed.list[i].second = listed.entries[i]->second;
      listed.generation = m_nResetGeneration;
    }
  }
  if (fresh.empty()) return;
  // Outside it: sort the new entries by name and merge them in. A map node
  // never moves and its name never changes, so reading names needs no lock.
  std::sort(fresh.begin(), fresh.end(),
            [](const auto& a, const auto& b) { return a.first->first < b.first->first; });
  std::vector<Entry*> entries;
  decltype(listed.list) list;
  entries.reserve(listed.entries.size() + fresh.size());
  list.reserve(entries.capacity());
  std::size_t old = 0;
  for (auto& added : fresh) {
    while (old < listed.entries.size() && listed.entries[old]->first < added.first->first) {
      entries.push_back(listed.entries[old]);
      list.push_back(std::move(listed.list[old]));
      ++old;
    }
    entries.push_back(added.first);
    list.emplace_back(added.first->first, std::move(added.second));
  }
  for (; old < listed.entries.size(); ++old) {
    entries.push_back(listed.entries[old]);
    list.push_back(std::move(listed.list[old]));
  }
  listed.entries.swap(entries);
  listed.list.swap(list);
}

CPerfCounters::TimeCounterList CPerfCounters::ListTimeCounters() {
  zrperf::MutexLock lock(&m_mtxList);
  UpdateList(m_listTime, &CPerfCounters::m_vecTimeRegistered,
             [](const TimeSlot& slot) { return slot.entry; });
  return m_listTime.list;  // copied outside m_csLock
}

CPerfCounters::MediaSpeedCounterList CPerfCounters::ListMediaSpeedCounters() {
  zrperf::MutexLock lock(&m_mtxList);
  UpdateList(m_listMedia, &CPerfCounters::m_vecMediaRegistered,
             [](MediaEntry* entry) { return entry; });
  return m_listMedia.list;
}

void CPerfCounters::Log() {
  Log(nullptr);
}

void CPerfCounters::Log(DueList* due) {
  auto_lock pass(&m_csPassLock, true);

  // Only the copy of what was registered since the previous pass happens
  // under m_csLock; sorting, merging, reading and formatting do not.
  std::vector<TimeSlot> fresh;
  {
    auto_lock lock(&m_csLock, true);
    fresh.assign(m_vecTimeRegistered.begin() + static_cast<std::ptrdiff_t>(m_nTimeWalked),
                 m_vecTimeRegistered.end());
  }
  if (!fresh.empty()) {
    const auto byName = [](const TimeSlot& a, const TimeSlot& b) {
      return a.entry->first < b.entry->first;
    };
    std::sort(fresh.begin(), fresh.end(), byName);
    const std::size_t walked = m_vecTimeWalk.size();
    m_vecTimeWalk.reserve(walked + fresh.size());
    for (const TimeSlot& slot : fresh) m_vecTimeWalk.push_back(WalkSlot{slot, nullptr});
    std::inplace_merge(
        m_vecTimeWalk.begin(), m_vecTimeWalk.begin() + static_cast<std::ptrdiff_t>(walked),
        m_vecTimeWalk.end(),
        [&byName](const WalkSlot& a, const WalkSlot& b) { return byName(a.slot, b.slot); });
    m_nTimeWalked += fresh.size();
  }

  // Reading an entry's handle outside m_csLock is safe: the handle is written
  // only by Reset(), which holds m_csPassLock, and the node never moves.
  std::string text;
  std::string intervals;
  if (due != nullptr) due->reserve(m_vecTimeWalk.size());
  if (m_bIntervalStats.load(std::memory_order_relaxed)) {
    for (WalkSlot& walk : m_vecTimeWalk) {
      AppendDueLines(walk.slot.entry->first, walk.slot.entry->second, *walk.slot.lastLogged,
                     walk.since, text, intervals, due);
    }
  } else {
    for (WalkSlot& walk : m_vecTimeWalk) {
      walk.since.reset();  // intervals start afresh when switched on again
      AppendDueLine(walk.slot.entry->first, walk.slot.entry->second, *walk.slot.lastLogged, text,
                    due);
    }
  }
  if (text.empty()) return;

  // Without a sink the records are dropped (the counts above advance all the
  // same); the text is passed as the "%s" argument, so a '%' stays literal.
  zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0, "void CPerfCounters::Log()", 39, "Exec Stats: %s",
                text.c_str());
  if (!intervals.empty()) {
    zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0, "void CPerfCounters::Log()", 40,
                  "Interval Stats: %s", intervals.c_str());
  }
}

void CPerfCounters::SetIntervalStats(bool on) {
  // Relaxed: a pass reads the switch once at its start and needs nothing else
  // published with it; the next pass sees the new value.
  m_bIntervalStats.store(on, std::memory_order_relaxed);
}

void CPerfCounters::logTaskCounter(const std::string& name,
                                   boost::shared_ptr<CTimeCounter>& counter, std::string& text) {
  // m_csLock for the whole step: a registration of the same name may write
  // the count.
  auto_lock pass(&m_csPassLock, true);
  auto_lock lock(&m_csLock, true);
  AppendDueLine(name, counter, m_mapLastLoggedSamples[name], text);
}
