// Internal to libzrperf-prometheus: what a scrape asks for in its Accept and
// Accept-Encoding headers.
//
// Thread-safety: pure functions.

#ifndef ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NEGOTIATION_H_
#define ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NEGOTIATION_H_

#include <string>
#include <string_view>

namespace zrprom {

extern const char
    kProtobufContentType[];  // "application/vnd.google.protobuf; proto=...; encoding=delimited"
extern const char kTextContentType[];  // "text/plain; version=0.0.4; charset=utf-8"
extern const char
    kOpenMetricsContentType[];  // "application/openmetrics-text; version=1.0.0; charset=utf-8"

// The answer's format; the numbers index the endpoint's shared answers.
enum class Format : int { kText = 0, kOpenMetrics = 1, kDelimitedProtobuf = 2 };
constexpr int kFormats = 3;

// A quality (q=) is 1 when absent, and otherwise "0" or "1" with up to three
// decimals, 0 to 1 (RFC 9110's qvalue). An element of either header whose q=
// is anything else ("inf", "nan", "-1", "2", "0.5000", "1.5", "+1", "1e0",
// "\"0.5\"", nothing) is ignored, as if the header did not hold it.
//
// The format the Accept header `accept` prefers, by the quality of the best
// range naming each:
//   - delimited protobuf: application/vnd.google.protobuf with
//     proto=io.prometheus.client.MetricFamily and encoding=delimited;
//   - OpenMetrics: application/openmetrics-text with version=1.0.0,
//     version=0.0.1 or no version (other versions are not written here);
//   - text 0.0.4: text/plain, text/* or */*.
// Parameters may come in any order; parameter names, the type and the
// subtype are case-insensitive. The highest quality above 0 wins, a tie going
// to the richer format (protobuf, then OpenMetrics); anything else, an absent
// or unparsable header included, gets the text format.
Format PreferredFormat(std::string_view accept);

// Whether the Accept-Encoding header `acceptEncoding` accepts gzip: "gzip" or
// "x-gzip" at a quality above 0, or, when neither is named, "*" at a quality
// above 0 (a named coding at q=0 is refused whatever "*" allows).
bool AcceptsGzip(std::string_view acceptEncoding);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NEGOTIATION_H_
