#include "ThroughputRecord.h"

#include <utility>

namespace zrdemo {

ThroughputRecord::ThroughputRecord(Counters counters) : m_pState(std::make_shared<State>()) {
  m_pState->counters = std::move(counters);
}

void ThroughputRecord::operator()() const {
  std::lock_guard<std::mutex> lock(m_pState->mutex);
  std::string text;
  // std::map<std::string> walks its names in ascending byte order.
  for (const auto& [name, counter] : m_pState->counters) {
    if (!counter) continue;
    // The count is read before the text, so a transfer that lands in between
    // shows in this record's text and makes the counter due again next time.
    const unsigned long long transfers = counter->GetTotalTransfers();
    unsigned long long& last = m_pState->lastLogged[name];
    if (transfers == 0 || transfers == last) continue;
    last = transfers;
    text += "\n\t\t\t\t" + name + ": " + counter->AsString();
  }
  if (text.empty()) return;
  CLogWriterInterface* sink = g_ptrLogWriter.get();
  if (sink != nullptr && sink->GetLogLevel() >= 0) {
    sink->WriteLog(0, "void zrdemo::ThroughputRecord::operator()() const", __LINE__, 0, 0,
                   "Throughput Stats: %s", text.c_str());
  }
}

}  // namespace zrdemo
