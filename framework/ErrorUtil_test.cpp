#include "ErrorUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include <zrperf/tests/support/RunTogether.h>

namespace {

TEST(ErrorUtil, ErrorWin32GivesTheFacilityResultAndKeepsCodeMessageAndLocationForAsString) {
  std::string file = "ZrScsiUtils.cpp";
  std::string function = "static CKyError F(const std::string&)";
  const std::string longArg(100000, 'q');
  const CKyError err =
      FXErrorUtil::ErrorWin32(FXCodeLocation(file.c_str(), function.c_str(), 48), 774,
                              "Failed to read [%s] attempt %d", longArg.c_str(), 3);
  file.assign(100, 'x');  // the detail keeps copies of the location texts
  function.assign(100, 'y');
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(err.GetResult(), FXErrorUtil::ResultFromWin32(774));
  ASSERT_TRUE(err.GetDetail());
  const FXErrorPrivate& d = *err.GetDetail();
  EXPECT_EQ(std::make_tuple(d.GetCode(), d.GetMessage(), d.GetFile(), d.GetFunction(), d.GetLine()),
            std::make_tuple(774u, "Failed to read [" + longArg + "] attempt 3", "ZrScsiUtils.cpp",
                            "static CKyError F(const std::string&)", 48));
  EXPECT_EQ(err.AsString(), "result=" + std::to_string(err.GetResult()) +
                                " code=774 message=\"Failed to read [" + longArg +
                                "] attempt 3\" at ZrScsiUtils.cpp:48 (static CKyError F(const "
                                "std::string&))");
  EXPECT_EQ(CKyError::Success().AsString(), "result=0");

  const CKyError noTexts = FXErrorUtil::ErrorWin32(FXCodeLocation(nullptr, nullptr, 0), 1, "m");
  EXPECT_EQ(noTexts.GetDetail()->GetFile(), "");
  EXPECT_EQ(noTexts.GetDetail()->GetFunction(), "");

  const CKyError escaped = FXErrorUtil::ErrorWin32(FXCodeLocation("f.cpp", "g", 2), 5, "%s",
                                                   "two\nlines\r\tand \"quoted\" \\ \x01");
  const std::string text = escaped.AsString();
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("message=\"two\\nlines\\r\\tand \\\"quoted\\\" \\\\ \\x01\" at f.cpp:2"),
            std::string::npos)
      << text;

  // The result is 0x80070000 with the code's low 16 bits: always negative.
  const std::pair<unsigned, std::uint32_t> cases[] = {
      {0u, 0x80070000u},      {1u, 0x80070001u},       {774u, 0x80070306u},
      {0xFFFFu, 0x8007FFFFu}, {0x10000u, 0x80070000u}, {0xFFFFFFFFu, 0x8007FFFFu}};
  for (const auto& [code, result] : cases) {
    EXPECT_EQ(static_cast<std::uint32_t>(FXErrorUtil::ResultFromWin32(code)), result) << code;
    EXPECT_TRUE(FXErrorUtil::ErrorWin32(FXCodeLocation("f", "g", 1), code, "x").IsError());
  }
}

TEST(ErrorUtil, CopiesMayBeReadOnManyThreadsAtOnce) {
  const CKyError err = FXErrorUtil::ErrorWin32(FXCodeLocation("f", "g", 3), 7, "shared %d", 1);
  const std::string expected = err.AsString();
  std::atomic<int> mismatches{0};
  zrperf_test::RunTogether(4, [&](int) {
    for (int i = 0; i < 2000; ++i) {
      const CKyError copy = err;  // shares the detail record
      if (copy.AsString() != expected) mismatches.fetch_add(1);
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(err.GetDetail().use_count(), 1);
}

}  // namespace
