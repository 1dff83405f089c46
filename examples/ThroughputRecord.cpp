#include "ThroughputRecord.h"

#include <cstdio>
#include <utility>

#include <zrperf/util/internal/RecordText.h>

namespace zrdemo {

ThroughputRecord::ThroughputRecord(Counters counters) : m_pState(std::make_shared<State>()) {
  m_pState->counters = std::move(counters);
}

void ThroughputRecord::operator()() const {
  zrperf::MutexLock lock(&m_pState->mutex);
  std::string text;
  // std::map<std::string> walks its names in ascending byte order.
  for (const auto& [name, counter] : m_pState->counters) {
    if (!counter) continue;
    // One read gives the due test, the lifetime text and the interval.
    CMediaSpeedCounterSnapshot now = counter->GetSnapshot();
    CMediaSpeedCounterSnapshot& last = m_pState->lastLogged[name];
    if (now.GetTransfers() == 0 || now.GetTransfers() == last.GetTransfers()) continue;
    const CMediaSpeedCounterSnapshot interval = now.Since(last);
    char rate[48] = "n/a";
    if (interval.GetTime() != CTimeInterval(0)) {
      std::snprintf(rate, sizeof(rate), "%.2fMB/s", interval.GetThroughput());
    }
    // Names come from the service's target list: escaped like every other
    // outside text in a record, so that none of them can start a line.
    text += "\n\t\t\t\t";
    zrperf::AppendRecordText(text, name.data(), name.size());
    text += ": " + now.AsString() + " interval=" + rate;
    last = now;
  }
  if (text.empty()) return;
  zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0,
                "void zrdemo::ThroughputRecord::operator()() const", __LINE__,
                "Throughput Stats: %s", text.c_str());
}

}  // namespace zrdemo
