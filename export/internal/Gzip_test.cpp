#include "Gzip.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Gzip, OneMemberInflatesToTheInputAtEveryLevelAndGunzipRefusesOverBoundOrBadInput) {
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += "zrperf_elapsed_seconds_bucket{le=\"" + std::to_string(i) + "\"}\n";
  for (int level : {zrexport::kGzipFastest, zrexport::kGzipDefault, 9}) {
    for (const std::string& input : {std::string(), std::string("x"), text}) {
      std::string gz;
      ASSERT_TRUE(zrexport::Gzip(input, &gz, level));
      ASSERT_GE(gz.size(), 18u);
      EXPECT_EQ(gz.substr(0, 2), "\x1F\x8B");
      std::string back;
      ASSERT_TRUE(zrexport::Gunzip(gz, &back, input.size()));
      EXPECT_EQ(back, input);
    }
  }

  // Gunzip refuses more than its bound, truncated and trailing input.
  const std::string input(1 << 20, 'z');  // inflates a thousandfold
  std::string gz;
  ASSERT_TRUE(zrexport::Gzip(input, &gz));
  std::string out;
  EXPECT_FALSE(zrexport::Gunzip(gz, &out, input.size() - 1));
  EXPECT_LT(out.size(), input.size());  // stopped at the bound, not after
  EXPECT_FALSE(zrexport::Gunzip(gz.substr(0, gz.size() - 1), &out, input.size()));
  EXPECT_FALSE(zrexport::Gunzip(gz + "x", &out, input.size()));
  EXPECT_FALSE(zrexport::Gunzip("not gzip", &out, 100));
  EXPECT_TRUE(zrexport::Gunzip(gz, &out, input.size()));
  EXPECT_EQ(out, input);
}

}  // namespace
