// CPerfCounters: the registry of named performance counters, and the writer of
// the statistics record.
//
// Service threads ask the set for a counter by name (created on first request)
// and then feed it directly:
//
//   boost::shared_ptr<CTimeCounter>& c = counters->GetCounter("Read");
//   if (c) c->AddSample(elapsed);      // a failed allocation leaves a null handle
//
// Log() turns every elapsed-time counter whose total sample count is non-zero
// and has changed since the previous Log() into one line of a single level-0
// "Exec Stats" record (function text "void CPerfCounters::Log()", line 39),
// in ascending byte order of names. With SetIntervalStats(true) (off by
// default) the same pass writes right after it an "Interval Stats" record
// (line 40) with one line per counter of the first: what the counter did since
// the previous pass that wrote it, or since its creation or last Reset(). The
// exact texts are in docs/records.md.
//
// The last-logged count is kept per full name (NULs included); the record
// shows a name up to its first NUL, with control characters escaped
// (util/internal/RecordText.h) so that no name can start a record line of its
// own. Nothing is due: the sink is not consulted at all. The sink's level does
// not admit level 0 (or no sink is installed): nothing is written, but the
// last-logged counts and intervals advance all the same. Throughput counters
// are registered and renewed, never written. A due counter is read once, as a
// snapshot, for both records and its new last-logged count.
//
// Memory: per counter the set keeps 8 bytes while intervals are off; with
// them on, also the snapshot of the counter's previous written pass (128
// bytes plus 24 per non-empty histogram bucket: 2.6 KB for latencies over two
// decades, at most 12.8 KB). Switching intervals on again starts every
// counter's interval at its creation or last Reset().
//
// Reset() puts a fresh counter into every entry and keeps the last-logged
// counts, so a fresh counter whose total equals its entry's last-logged count
// is left out of the next record; Init() is Reset() followed by Log(), which
// re-baselines every entry on its fresh counter.
//
// Thread-safety:
// - GetCounter()/GetMediaSpeedCounter() may be called from any thread. Finding
//   a registered name takes no lock; creating a counter takes m_csLock, which
//   a pass holds only for a moment, so a registration never waits for one.
// - A pass (Log(), logTaskCounter()) and Reset() hold m_csPassLock for their
//   whole run: two passes, or a pass and Reset(), never overlap. Log() takes
//   m_csLock only to copy the entries registered since the previous pass (map
//   nodes never move, so pointers to them are enough); it reads the counters
//   and formats the record outside it. Reset() holds m_csLock as well, for its
//   whole run, since ListTimeCounters() copies the handles that it rewrites.
// - ListTimeCounters()/ListMediaSpeedCounters() (the exporters' scrapes) hold
//   m_mtxList for their whole run and m_csLock only to copy the entries
//   registered since the previous list (and, after a Reset(), the renewed
//   handles); sorting, merging and the copy handed out happen outside it, so a
//   registration never waits for a scrape of a large set either.
// - Lock order: m_csPassLock before m_csLock, m_mtxList before m_csLock; never
//   the other way round.
// - fork(): pthread_atfork handlers take four locks (after the statistics
//   logger's own): the list of live sets' mutex, then every set's
//   m_mtxList, m_csPassLock and m_csLock, so fork() waits for a running
//   pass, listing, registration or Reset() to end and the child finds the
//   maps whole; the child builds the critical sections afresh (its thread has
//   another id than the one that took them) and releases the mutexes, so its
//   registrations and passes never wait for a thread of the parent.
// - The references returned stay valid until the set is destroyed; the handles
//   are boost::shared_ptr, so copies may be made and dropped on any thread.
// - REQUIRES: Reset() (and Init()) never overlaps a use of the same handle
//   through a returned reference on another thread (the handle itself is
//   rewritten). Callers keep Reset() apart from the threads that feed counters.

#ifndef ZRPERF_PERF_PERFCOUNTERS_H_
#define ZRPERF_PERF_PERFCOUNTERS_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <zrperf/counters/MediaSpeedCounter.h>
#include <zrperf/counters/TimeCounter.h>
#include <zrperf/sync/CriticalSection.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/IntrusiveList.h>
#include <zrperf/sync/ThreadAnnotations.h>
// Internal, embedded by value so that lookups need no indirection (layout kept stable):
#include <zrperf/perf/internal/NameIndex.h>

class ZRPERF_EXPORT CPerfCounters {
 public:
  // Builds the lock and the empty maps, then Init() (which, on the empty set,
  // writes nothing and changes nothing).
  CPerfCounters();
  // Reset(), then destroys the maps and the lock. Counters whose handles a
  // caller still holds stay alive.
  ~CPerfCounters();

  CPerfCounters(const CPerfCounters&) = delete;
  CPerfCounters& operator=(const CPerfCounters&) = delete;

  // Reset(), then Log().
  void Init();

  // Puts a fresh counter into every entry of both maps, in name order. Names
  // stay registered; last-logged counts are unchanged; nothing is written.
  // Throws std::bad_alloc when a counter cannot be allocated (the entries
  // visited before keep their fresh counters).
  void Reset();

  // Builds the statistics record and writes it if it has any line, followed
  // by the interval record when interval statistics are on.
  void Log();

  // A counter that a pass found due, with the snapshot its lines were made
  // from. `name` points to the registered name, which stays while the set lives.
  struct DueCounter {
    const std::string* name;
    const CTimeCounter* counter;
    CTimeCounterSnapshot snapshot;
  };
  using DueList = std::vector<DueCounter>;
  // Log(), also appending every due counter to `due` in name order, so that
  // the histogram log reuses the snapshot that the records were made from.
  void Log(DueList* due);

  // Turns the "Interval Stats" record on or off from the next pass on; may be
  // called from any thread.
  void SetIntervalStats(bool on);

  // The handle of the elapsed-time counter `name`, created (and its
  // last-logged count set to 0) on first request. When the counter cannot be
  // allocated, the name is registered with a null handle; the next Reset()
  // fills it. The reference stays valid while the set lives.
  boost::shared_ptr<CTimeCounter>& GetCounter(const std::string& name);

  // The same for throughput counters (a separate name space; no last-logged
  // count).
  boost::shared_ptr<CMediaSpeedCounter>& GetMediaSpeedCounter(const std::string& name);

  // The registered counters with their current handles, in ascending byte
  // order of names (the full names, NULs included), so that readers such as
  // exporters can read every counter without holding the set's lock. A handle
  // may be null (a failed allocation). Each call copies under m_csLock only
  // what was registered (or renewed by Reset()) since the previous call.
  using TimeCounterList = std::vector<std::pair<std::string, boost::shared_ptr<CTimeCounter>>>;
  using MediaSpeedCounterList =
      std::vector<std::pair<std::string, boost::shared_ptr<CMediaSpeedCounter>>>;
  TimeCounterList ListTimeCounters();
  MediaSpeedCounterList ListMediaSpeedCounters();

  // One step of a pass: appends the line of the counter behind `counter` to
  // `text` when it is due (the name as in the record: up to its first NUL,
  // escaped), and sets the last-logged count of the full `name` to the total
  // it read. A null handle is skipped (nothing appended, count kept). Takes
  // m_csPassLock, then m_csLock, itself (both recursive).
  void logTaskCounter(const std::string& name, boost::shared_ptr<CTimeCounter>& counter,
                      std::string& text);

 private:
  friend struct PerfCountersFork;  // the fork handlers

  using TimeEntry = std::pair<const std::string, boost::shared_ptr<CTimeCounter>>;
  using MediaEntry = std::pair<const std::string, boost::shared_ptr<CMediaSpeedCounter>>;
  // An elapsed-time entry with its last-logged count (both map nodes: stable).
  struct TimeSlot {
    TimeEntry* entry;
    long long* lastLogged;
  };

  FXCriticalSection m_csPassLock;  // one pass or Reset() at a time; taken before m_csLock
  FXCriticalSection m_csLock ZR_ACQUIRED_AFTER(m_csPassLock);
  // A pass reads and advances an entry's count through the pointer in its
  // TimeSlot, under m_csPassLock only: besides passes, the count is written by
  // its registration (under m_csLock, before the entry reaches a pass) and by
  // logTaskCounter(), which holds both locks.
  std::map<std::string, long long> m_mapLastLoggedSamples ZR_GUARDED_BY(m_csLock);
  // Written under m_csLock; a handle is rewritten only by Reset(), which also
  // holds m_csPassLock, so a pass reads handles through its TimeSlots.
  std::map<std::string, boost::shared_ptr<CTimeCounter>> m_mapTimeCounters ZR_GUARDED_BY(m_csLock);
  std::map<std::string, boost::shared_ptr<CMediaSpeedCounter>> m_mapMediaSpeedCounters
      ZR_GUARDED_BY(m_csLock);

  // Lock-free lookup of the entries above (see internal/NameIndex.h).
  zrperf::NameIndex<TimeEntry> m_idxTimeCounters;
  zrperf::NameIndex<MediaEntry> m_idxMediaSpeedCounters;

  // Every elapsed-time entry in the order of registration (appended to, never
  // reordered).
  std::vector<TimeSlot> m_vecTimeRegistered ZR_GUARDED_BY(m_csLock);
  // The entries that Log() walks, in name order, and how many of
  // m_vecTimeRegistered they hold: each pass copies only the entries
  // registered since the previous one and merges them in, outside m_csLock.
  // An entry of the walk with the snapshot its interval runs from (null
  // before its first written pass with intervals on).
  struct WalkSlot {
    TimeSlot slot;
    std::unique_ptr<CTimeCounterSnapshot> since;
  };
  std::vector<WalkSlot> m_vecTimeWalk ZR_GUARDED_BY(m_csPassLock);
  std::size_t m_nTimeWalked ZR_GUARDED_BY(m_csPassLock) = 0;
  std::atomic<bool> m_bIntervalStats{false};

  // The lists that ListTimeCounters()/ListMediaSpeedCounters() hand out,
  // kept sorted and brought up to date from the registration order: how many
  // registered entries each holds, and the Reset() generation its handles
  // were copied at.
  template <typename Entry>
  struct Listed {
    std::vector<Entry*> entries;  // in ascending name order
    std::vector<
        std::pair<std::string, typename std::remove_const<typename Entry::second_type>::type>>
        list;  // the same entries' names and handles
    std::size_t registered = 0;
    std::uint64_t generation = 0;
  };
  zrperf::Mutex m_mtxList ZR_ACQUIRED_BEFORE(m_csLock);
  Listed<TimeEntry> m_listTime ZR_GUARDED_BY(m_mtxList);
  Listed<MediaEntry> m_listMedia ZR_GUARDED_BY(m_mtxList);
  // Every throughput entry in the order of registration.
  std::vector<MediaEntry*> m_vecMediaRegistered ZR_GUARDED_BY(m_csLock);
  // Counts the Reset() calls: a list copied before one has stale handles.
  std::uint64_t m_nResetGeneration ZR_GUARDED_BY(m_csLock) = 0;
  // Brings `listed` up to date: copies under m_csLock the entries of the
  // registration-order member `registered` that it lacks (entryOf(element)
  // gives an element's entry) and, after a Reset(), every handle anew; sorts
  // and merges outside it.
  template <typename Entry, typename Registered, typename EntryOf>
  void UpdateList(Listed<Entry>& listed, std::vector<Registered> CPerfCounters::*registered,
                  EntryOf entryOf) ZR_REQUIRES(m_mtxList);
  // The link into the process-wide list of live sets, for the fork handlers
  // (guarded by the list's mutex in PerfCounters.cpp).
  zrperf::IntrusiveLink<CPerfCounters> m_setLink;
};

#endif  // ZRPERF_PERF_PERFCOUNTERS_H_
