#include "StartFailure.h"

#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/PerfCntLogger.h>

#include <utility>

namespace zrexport {

void ReportStartFailure(const std::string& why, std::string* error) {
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__, "%s", why.c_str());
  if (error != nullptr) *error = why;
}

boost::shared_ptr<CPerfCounters> CountersOrLoggers(boost::shared_ptr<CPerfCounters> counters,
                                                   const std::string& prefix, std::string* error) {
  if (counters) return counters;
  PerfCntLogger* logger = PerfCntLogger::Instance();
  if (logger != nullptr) counters = logger->GetPerfCounters();
  if (!counters) ReportStartFailure(prefix + "the statistics logger could not be created", error);
  return counters;
}

}  // namespace zrexport
