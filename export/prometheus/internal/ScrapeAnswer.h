// Internal to libzrperf-prometheus: the body of a scrape's answer, the
// families of a counter set in the format the scrape negotiated
// (Negotiation.h), gzipped when it accepts gzip.
//
// Thread-safety: as WriteCounterFamilies() (CounterFamilies.h): any number of
// threads at once, while other threads record.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SCRAPEANSWER_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SCRAPEANSWER_H_

#include <zrperf/perf/PerfCounters.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Negotiation.h"

namespace zrprom {

// Replaces `out` with the answer to a scrape of `counters` (the arguments of
// WriteCounterFamilies()). A gzipped answer keeps only its own bytes, not the
// room for the worst case that compressing it took: the endpoint holds
// answers for as long as slow clients read them. Throws std::runtime_error
// when gzip fails.
void WriteScrapeAnswer(CPerfCounters* counters, const std::vector<std::int32_t>& boundIndices,
                       std::size_t maxNativeBuckets, Format format, bool gzip, std::string* out);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_SCRAPEANSWER_H_
