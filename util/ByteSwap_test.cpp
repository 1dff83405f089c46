#include "ByteSwap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

// The bytes of `v` in memory order, or in reverse order.
template <typename T>
std::vector<unsigned char> Bytes(T v, bool reversed = false) {
  std::vector<unsigned char> b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  if (reversed) std::reverse(b.begin(), b.end());
  return b;
}

TEST(ByteSwap, MemoryBytesComeOutReversedOnAnyHost) {
  EXPECT_EQ(__zrswap_int16(0x8000), 0x0080);  // no sign extension in the narrow swap
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t v64 = rng();
    const auto v32 = static_cast<std::uint32_t>(v64 >> 7);
    const auto v16 = static_cast<std::uint16_t>(v64 >> 21);
    ASSERT_EQ(Bytes(__zrswap_int64(v64)), Bytes(v64, true));
    ASSERT_EQ(Bytes(__zrswap_int32(v32)), Bytes(v32, true));
    ASSERT_EQ(Bytes(__zrswap_int16(v16)), Bytes(v16, true));
  }
}

}  // namespace
