// Internal to the exporters: what the endpoint, the textfile writer's peers and
// the OTLP exporter do alike when they start: report a failure to start as one
// line, find the statistics logger's counter set when the caller gave none,
// and turn any exception thrown while starting into such a failure.
//
// Stateless functions; thread-safe.

#ifndef ZRPERF_EXPORT_INTERNAL_STARTFAILURE_H_
#define ZRPERF_EXPORT_INTERNAL_STARTFAILURE_H_

#include <zrperf/perf/PerfCounters.h>

#include <boost/shared_ptr.hpp>
#include <exception>
#include <string>

namespace zrexport {

// Reports a failure to start: the one line `why` goes to g_ptrLogWriter at
// level -1 and to `*error` when `error` is given.
void ReportStartFailure(const std::string& why, std::string* error);

// `counters`, or when it is null the statistics logger's set (creating the
// logger). Null, after reporting `prefix` + why, when there is no logger.
boost::shared_ptr<CPerfCounters> CountersOrLoggers(boost::shared_ptr<CPerfCounters> counters,
                                                   const std::string& prefix, std::string* error);

// Returns start() (a std::unique_ptr); an exception thrown by it is reported
// as `*prefix` + what it says (`*prefix` as it is then: a start may sharpen
// its prefix as it learns more) and null is returned. Never throws.
template <typename Start>
auto StartWithoutThrowing(const std::string* prefix, std::string* error, Start start)
    -> decltype(start()) {
  try {
    return start();
  } catch (const std::exception& e) {
    ReportStartFailure(*prefix + e.what(), error);
  } catch (...) {
    ReportStartFailure(*prefix + "unknown failure", error);
  }
  return nullptr;
}

}  // namespace zrexport

#endif  // ZRPERF_EXPORT_INTERNAL_STARTFAILURE_H_
