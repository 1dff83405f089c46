// Internal: this machine's host name, as the histogram log's header and the
// OTLP resource give it.
//
// Thread-safe (gethostname()).

#ifndef ZRPERF_UTIL_INTERNAL_HOSTNAME_H_
#define ZRPERF_UTIL_INTERNAL_HOSTNAME_H_

#include <string>

namespace zrperf {

// The host name (at most 255 bytes), or "unknown" when the system gives none.
std::string HostName();

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_HOSTNAME_H_
