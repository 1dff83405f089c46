// Internal to libzrperf-prometheus and libzrperf-otlp: the label value under which a counter's
// name is exported.
//
// Counter names are arbitrary bytes, but a Prometheus server refuses a whole
// scrape when one label value is not valid UTF-8. The value is the name up to
// its first NUL (as the statistics record writes it), made valid UTF-8 by a
// mapping that keeps distinct names distinct:
//   - every well-formed UTF-8 sequence other than the ones below passes
//     unchanged (quotes and backslashes included: the text serializer escapes
//     them);
//   - '%', the control bytes 0x01-0x1F, DEL (0x7F) and every byte that is not
//     part of a well-formed UTF-8 sequence (stray continuation bytes, truncated
//     or overlong sequences, surrogates, code points above U+10FFFF) become
//     "%XX", two upper-case hex digits.
// Since '%' itself is always encoded, each "%XX" in a value stands for exactly
// one byte and every other character for itself: the mapping is one-to-one.
//
// Stateless and thread-safe.

#ifndef ZRPERF_EXPORT_INTERNAL_LABELVALUE_H_
#define ZRPERF_EXPORT_INTERNAL_LABELVALUE_H_

#include <string>

namespace zrexport {

// The label value of the counter named `name`.
std::string LabelValueOf(const std::string& name);

}  // namespace zrexport

#endif  // ZRPERF_EXPORT_INTERNAL_LABELVALUE_H_
