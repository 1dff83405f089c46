// Internal: the one variable-length integer codec of the project, used by the
// protocol buffers writer of both exporters, the OTLP answer reader and the
// histogram log's bucket lists.
//
//   varint   7 bits a byte, least significant group first, the high bit set
//            on every byte but the last; 1 to 10 bytes for 64 bits, the tenth
//            byte carrying the top bit only
//   zigzag   0, -1, 1, -2 ... -> 0, 1, 2, 3 ... (signed values as varints)
//
// Decoding refuses what an encoder never writes past 64 bits: an eleventh
// byte, or a tenth byte above 1.
//
// Stateless functions; thread-safe.

#ifndef ZRPERF_UTIL_INTERNAL_CODING_H_
#define ZRPERF_UTIL_INTERNAL_CODING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zrperf {

constexpr std::size_t kMaxVarintBytes = 10;

constexpr std::uint64_t ZigZag64(std::int64_t v) noexcept {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
constexpr std::uint32_t ZigZag32(std::int32_t v) noexcept {
  return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}

// Writes the varint of `v` at `p` (room for kMaxVarintBytes); the bytes written.
inline std::size_t EncodeVarint(char* p, std::uint64_t v) noexcept {
  std::size_t n = 0;
  while (v >= 0x80) {
    p[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  p[n++] = static_cast<char>(v);
  return n;
}

// The bytes EncodeVarint() writes for `v`.
inline std::size_t VarintSize(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Appends the varint of `v` to `out`.
inline void AppendVarint(std::string* out, std::uint64_t v) {
  char bytes[kMaxVarintBytes];
  out->append(bytes, EncodeVarint(bytes, v));
}

// Reads one varint from the front of `in` into `v` and removes its bytes.
// False, with `in` and `v` unspecified, when `in` ends inside the varint or
// it does not fit 64 bits.
inline bool DecodeVarint(std::string_view* in, std::uint64_t* v) noexcept {
  std::uint64_t result = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (in->empty()) return false;
    const auto byte = static_cast<unsigned char>(in->front());
    in->remove_prefix(1);
    if (shift == 63 && byte > 1) return false;  // the tenth byte holds bit 63 only
    result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *v = result;
      return true;
    }
  }
  return false;
}

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_CODING_H_
