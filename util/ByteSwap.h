// Byte-order swaps for 16-, 32- and 64-bit unsigned values.
//
// Each function reverses the byte order of its argument unconditionally,
// whatever the host's byte order: the argument's least significant byte
// becomes the result's most significant one, so applying a swap twice gives
// the argument back. They are exported with plain C symbol names
// (`__zrswap_int16`, ...), keep no state and may be called from any thread.

#ifndef ZRPERF_UTIL_BYTESWAP_H_
#define ZRPERF_UTIL_BYTESWAP_H_

#include <cstdint>

#include <zrperf/sync/Export.h>

extern "C" {
ZRPERF_EXPORT std::uint16_t __zrswap_int16(std::uint16_t value);
ZRPERF_EXPORT std::uint32_t __zrswap_int32(std::uint32_t value);
ZRPERF_EXPORT std::uint64_t __zrswap_int64(std::uint64_t value);
}

#endif  // ZRPERF_UTIL_BYTESWAP_H_
