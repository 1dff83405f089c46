// Internal to the exporters: the one gzip codec (RFC 1952, one member) behind
// the endpoint's gzip answers and OTLP's gzip requests; the tests read both
// back with Gunzip().
//
// Stateless functions; thread-safe.

#ifndef ZRPERF_EXPORT_INTERNAL_GZIP_H_
#define ZRPERF_EXPORT_INTERNAL_GZIP_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zrexport {

// zlib's levels: 1 (fastest) to 9 (smallest); -1 is zlib's default (6).
constexpr int kGzipFastest = 1;
constexpr int kGzipDefault = -1;

// `data` as one gzip member at `level` into `out`. False, with `out`
// unspecified, when zlib fails or `data` is larger than zlib can take in one
// call (2 GiB).
bool Gzip(std::string_view data, std::string* out, int level = kGzipFastest);

// The content of the gzip member `data` into `out`. False when `data` is not
// one whole gzip member or its content would exceed `maxSize` bytes.
bool Gunzip(std::string_view data, std::string* out, std::size_t maxSize);

}  // namespace zrexport

#endif  // ZRPERF_EXPORT_INTERNAL_GZIP_H_
