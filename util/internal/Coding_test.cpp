#include "Coding.h"
#include "Utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

TEST(Coding, VarintsRoundTripAtEverySevenBitBoundaryAndRefuseWhatNoEncoderWrites) {
  std::uint64_t back = 0;
  for (unsigned bits = 0; bits <= 64; ++bits) {
    const std::uint64_t top =
        bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    for (std::uint64_t v : {top, top + 1, top / 2}) {
      std::string bytes;
      zrperf::AppendVarint(&bytes, v);
      ASSERT_EQ(bytes.size(), zrperf::VarintSize(v)) << v;
      std::string_view in = bytes;
      ASSERT_TRUE(zrperf::DecodeVarint(&in, &back)) << v;
      EXPECT_EQ(back, v);
      EXPECT_TRUE(in.empty());
      // Cut anywhere inside: refused.
      for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::string_view cut(bytes.data(), n);
        EXPECT_FALSE(zrperf::DecodeVarint(&cut, &back)) << v << " cut at " << n;
      }
    }
  }
  // Ten bytes whose last carries more than bit 63, and eleven bytes: past 64 bits.
  for (const std::string& bytes :
       {std::string(9, '\xff') + '\x02', std::string(10, '\x80') + '\x01'}) {
    std::string_view in = bytes;
    EXPECT_FALSE(zrperf::DecodeVarint(&in, &back));
  }
  EXPECT_EQ(zrperf::ZigZag64(-1), 1u);
  EXPECT_EQ(zrperf::ZigZag64(std::numeric_limits<std::int64_t>::min()),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(zrperf::ZigZag32(1), 2u);
}

TEST(Utf8, WellFormedOnlyAsTheStandardDefinesIt) {
  using namespace std::string_view_literals;
  for (std::string_view good : {""sv, "plain"sv, "\0nul"sv, "\xc2\x80"sv, "\xe0\xa0\x80"sv,
                                "\xed\x9f\xbf"sv, "\xf0\x90\x80\x80"sv, "\xf4\x8f\xbf\xbf"sv}) {
    EXPECT_TRUE(zrperf::IsUtf8(good)) << good;
  }
  for (std::string_view bad :
       {"\x80", "\xc1\xbf", "\xc2", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xf0\x8f\xbf\xbf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "a\xffz", "\xc2\x41"}) {
    EXPECT_FALSE(zrperf::IsUtf8(bad)) << bad;
  }
  EXPECT_EQ(zrperf::Utf8SequenceAt("a\xe2\x82\xac", 1), 3u);
  EXPECT_EQ(zrperf::Utf8SequenceAt("a\xe2\x82", 1), 0u);
}

}  // namespace
