// Internal to libzrperf-prometheus: metric families in the Prometheus text
// exposition format 0.0.4 (Content-Type "text/plain; version=0.0.4").
//
//   # HELP <name> <help>
//   # TYPE <name> counter|gauge|histogram
//   <name>{<label>="<value>",...} <value>
//   <name>_count{...} <count>
//   <name>_sum{...} <sum>
//   <name>_bucket{...,le="<bound>"} <cumulative count>   (then le="+Inf")
//
// Label values escape backslash, double quote and line feed (\\ \" \n); help
// texts escape backslash and line feed. Numbers are written in the shortest
// form that reads back as the same double ("9.5e-06", "1", "+Inf", "NaN").
// Native buckets have no text form and are left out. A family without series
// is left out.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_INTERNAL_EXPOSITIONTEXT_H_
#define ZRPERF_EXPORT_INTERNAL_EXPOSITIONTEXT_H_

#include <string>
#include <vector>

#include "MetricFamilies.h"

namespace zrprom {

// Appends the text of `families` to `out`.
void AppendExpositionText(const std::vector<Family>& families, std::string* out);

// Appends the text form of `v` to `out`.
void AppendNumber(double v, std::string* out);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_INTERNAL_EXPOSITIONTEXT_H_
