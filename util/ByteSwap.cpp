#include "ByteSwap.h"

// Each swap equals the byte loop "N times: result = (result << 8) | (value &
// 0xFF); value >>= 8" over the value's N bytes, which moves the least
// significant byte to the top. The builtins compute exactly that and compile
// to one byte-reverse instruction (bswap/rol on x86-64, a byte-reversed
// load/store or rotate sequence elsewhere).

extern "C" {

std::uint16_t __zrswap_int16(std::uint16_t value) {
  return __builtin_bswap16(value);
}
std::uint32_t __zrswap_int32(std::uint32_t value) {
  return __builtin_bswap32(value);
}
std::uint64_t __zrswap_int64(std::uint64_t value) {
  return __builtin_bswap64(value);
}

}  // extern "C"
