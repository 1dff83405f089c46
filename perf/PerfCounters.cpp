#include "PerfCounters.h"

#include <memory>
#include <new>

#include "../framework/LogWriterInterface.h"
#include "../sync/AutoLock.h"
#include "../util/Constants.h"

namespace {

// Finds `name` in `map`, creating the entry with `make()` when it is absent,
// and publishes it in `index`. Called with the set's lock held.
template <typename Map, typename Index, typename Make>
typename Map::value_type& FindOrInsert(Map& map, Index& index, const std::string& name, Make make,
                                       bool* inserted) {
  auto it = map.find(name);
  *inserted = (it == map.end());
  if (*inserted) {
    // The handle owns the counter from here on: if the map cannot store it,
    // the handle's destruction frees the counter.
    typename Map::mapped_type handle;
    if (auto* counter = make()) handle.reset(counter);  // null: the entry keeps a null handle
    it = map.emplace(name, std::move(handle)).first;
  }
  if (index.Find(name) == nullptr) index.Publish(&*it);
  return *it;
}

}  // namespace

CPerfCounters::CPerfCounters() {
  Init();
}

CPerfCounters::~CPerfCounters() {
  Reset();
}

void CPerfCounters::Init() {
  Reset();
  Log();
}

void CPerfCounters::Reset() {
  auto_lock lock(&m_csLock, true);
  for (auto& entry : m_mapTimeCounters) entry.second.reset(new CTimeCounter());
  for (auto& entry : m_mapMediaSpeedCounters) entry.second.reset(new CMediaSpeedCounter(nullptr));
}

boost::shared_ptr<CTimeCounter>& CPerfCounters::GetCounter(const std::string& name) {
  if (TimeEntry* entry = m_idxTimeCounters.Find(name)) return entry->second;

  auto_lock lock(&m_csLock, true);
  bool inserted = false;
  TimeEntry& entry = FindOrInsert(
      m_mapTimeCounters, m_idxTimeCounters, name, [] { return new (std::nothrow) CTimeCounter(); },
      &inserted);
  if (inserted) m_mapLastLoggedSamples[name] = 0;
  return entry.second;
}

boost::shared_ptr<CMediaSpeedCounter>& CPerfCounters::GetMediaSpeedCounter(
    const std::string& name) {
  if (MediaEntry* entry = m_idxMediaSpeedCounters.Find(name)) return entry->second;

  auto_lock lock(&m_csLock, true);
  bool inserted = false;
  MediaEntry& entry = FindOrInsert(
      m_mapMediaSpeedCounters, m_idxMediaSpeedCounters, name,
      [] { return new (std::nothrow) CMediaSpeedCounter(nullptr); }, &inserted);
  return entry.second;
}

CPerfCounters::TimeCounterList CPerfCounters::ListTimeCounters() {
  auto_lock lock(&m_csLock, true);
  return TimeCounterList(m_mapTimeCounters.begin(), m_mapTimeCounters.end());
}

CPerfCounters::MediaSpeedCounterList CPerfCounters::ListMediaSpeedCounters() {
  auto_lock lock(&m_csLock, true);
  return MediaSpeedCounterList(m_mapMediaSpeedCounters.begin(), m_mapMediaSpeedCounters.end());
}

void CPerfCounters::Log() {
  auto_lock lock(&m_csLock, true);

  std::string text;
  for (auto& entry : m_mapTimeCounters) {
    // The record names a counter up to its first NUL.
    logTaskCounter(std::string(entry.first.c_str()), entry.second, text);
  }
  if (text.empty()) return;

  // An empty g_ptrLogWriter drops the record instead of crashing the process.
  CLogWriterInterface* sink = g_ptrLogWriter.get();
  if (sink == nullptr || sink->GetLogLevel() < 0) return;
  sink = g_ptrLogWriter.get();
  if (sink == nullptr) return;
  sink->WriteLog(0, "void CPerfCounters::Log()", 39, 0, 0, "Exec Stats: %s", text.c_str());
}

void CPerfCounters::logTaskCounter(const std::string& name,
                                   boost::shared_ptr<CTimeCounter>& counter, std::string& text) {
  long long& lastLogged = m_mapLastLoggedSamples[name];
  if (!counter) return;  // left by a failed allocation: nothing to read

  const long long total = counter->GetTotalSamples();
  if (total != 0 && total != lastLogged) {
    text += "\n\t\t\t\t";
    text += name;
    text += ": ";
    text += counter->AsString();
  }
  lastLogged = total;
}
