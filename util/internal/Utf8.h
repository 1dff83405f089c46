// Internal: the one UTF-8 well-formedness check of the project (RFC 3629, table
// 3-7 of the Unicode standard: no overlong forms, no surrogates, nothing above
// U+10FFFF). The exporters use it for label values, protobuf strings and
// resource attributes.
//
// Stateless functions; thread-safe.

#ifndef ZRPERF_UTIL_INTERNAL_UTF8_H_
#define ZRPERF_UTIL_INTERNAL_UTF8_H_

#include <cstddef>
#include <string_view>

namespace zrperf {

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at
// `text[at]` (at < text.size()), or 0 when the byte there starts none.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) noexcept;

// Whether all of `text` is well-formed UTF-8 (NUL is a character like any other).
bool IsUtf8(std::string_view text) noexcept;

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_UTF8_H_
