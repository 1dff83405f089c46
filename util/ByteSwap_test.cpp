#include "ByteSwap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

// The bytes of `v` in memory order.
template <typename T>
std::vector<unsigned char> Bytes(T v) {
  std::vector<unsigned char> b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  return b;
}

TEST(ByteSwap, MemoryBytesComeOutReversedOnAnyHost) {
  EXPECT_EQ(__zrswap_int16(0x8000), 0x0080);  // no sign extension in the narrow swap
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t v64 = rng();
    const auto v32 = static_cast<std::uint32_t>(v64 >> 7);
    const auto v16 = static_cast<std::uint16_t>(v64 >> 21);
    auto b64 = Bytes(v64), b32 = Bytes(v32), b16 = Bytes(v16);
    std::reverse(b64.begin(), b64.end());
    std::reverse(b32.begin(), b32.end());
    std::reverse(b16.begin(), b16.end());
    ASSERT_EQ(Bytes(__zrswap_int64(v64)), b64);
    ASSERT_EQ(Bytes(__zrswap_int32(v32)), b32);
    ASSERT_EQ(Bytes(__zrswap_int16(v16)), b16);
  }
}

}  // namespace
