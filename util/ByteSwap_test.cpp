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

// The byte loop that defines a swap: N times, shift the result left one byte
// and add the value's lowest byte, then shift the value right one byte.
template <typename T>
T ReferenceSwap(T value) {
  T result = 0;
  for (unsigned i = 0; i < sizeof(T); ++i) {
    result = static_cast<T>((result << 8) + (value & 0xFFu));
    value = static_cast<T>(value >> 8);
  }
  return result;
}

TEST(ByteSwap, ReversesTheExampleValues) {
  EXPECT_EQ(__zrswap_int16(0x1234), 0x3412);
  EXPECT_EQ(__zrswap_int32(0x12345678u), 0x78563412u);
  EXPECT_EQ(__zrswap_int64(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(ByteSwap, TopBitsZeroAndAllOnes) {
  EXPECT_EQ(__zrswap_int16(0x8000), 0x0080);
  EXPECT_EQ(__zrswap_int16(0x0080), 0x8000);
  EXPECT_EQ(__zrswap_int32(0x80000000u), 0x00000080u);
  EXPECT_EQ(__zrswap_int32(0x000000FFu), 0xFF000000u);
  EXPECT_EQ(__zrswap_int64(0x8000000000000000ull), 0x80ull);
  EXPECT_EQ(__zrswap_int64(0xFFull), 0xFF00000000000000ull);
  EXPECT_EQ(__zrswap_int16(0), 0);
  EXPECT_EQ(__zrswap_int32(0), 0u);
  EXPECT_EQ(__zrswap_int64(0), 0ull);
  EXPECT_EQ(__zrswap_int16(0xFFFF), 0xFFFF);
  EXPECT_EQ(__zrswap_int32(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_EQ(__zrswap_int64(~0ull), ~0ull);
}

TEST(ByteSwap, MemoryBytesComeOutReversedOnAnyHost) {
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
    ASSERT_EQ(__zrswap_int64(v64), ReferenceSwap(v64));
    ASSERT_EQ(__zrswap_int32(v32), ReferenceSwap(v32));
    ASSERT_EQ(__zrswap_int16(v16), ReferenceSwap(v16));
    ASSERT_EQ(__zrswap_int64(__zrswap_int64(v64)), v64);
    ASSERT_EQ(__zrswap_int32(__zrswap_int32(v32)), v32);
    ASSERT_EQ(__zrswap_int16(__zrswap_int16(v16)), v16);
  }
}

}  // namespace
