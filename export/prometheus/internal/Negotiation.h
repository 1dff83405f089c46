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

// Whether the Accept header `accept` prefers length-delimited MetricFamily
// messages to the text format: it names application/vnd.google.protobuf with
// proto=io.prometheus.client.MetricFamily and encoding=delimited (parameters in
// any order, names and type case-insensitive) at a quality above 0 and at
// least that of its best text range (text/plain, text/* or */*). Anything
// else, an absent or unparsable header included, gets the text format.
bool PrefersDelimitedProtobuf(std::string_view accept);

// Whether the Accept-Encoding header `acceptEncoding` accepts gzip: "gzip" or
// "x-gzip" at a quality above 0, or, when neither is named, "*" at a quality
// above 0 (a named coding at q=0 is refused whatever "*" allows).
bool AcceptsGzip(std::string_view acceptEncoding);

}  // namespace zrprom

#endif  // ZRPERF_EXPORT_PROMETHEUS_INTERNAL_NEGOTIATION_H_
