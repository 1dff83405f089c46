#include "ScrapeAnswer.h"

#include <gtest/gtest.h>
#include <zrperf/export/internal/Gzip.h>

#include <boost/make_shared.hpp>
#include <string>

namespace {

TEST(ScrapeAnswer, EachFormatGzippedIsItsPlainAnswerAndKeepsOnlyItsOwnBytes) {
  const auto counters = boost::make_shared<CPerfCounters>();
  for (int i = 0; i < 300; ++i)
    counters->GetCounter("lun" + std::to_string(i))->AddSample(CTimeInterval(1000 + i));
  for (const zrprom::Format format :
       {zrprom::Format::kText, zrprom::Format::kOpenMetrics, zrprom::Format::kDelimitedProtobuf}) {
    std::string plain = "old", gzipped, unzipped;
    zrprom::WriteScrapeAnswer(counters.get(), {}, 0, format, false, &plain);
    zrprom::WriteScrapeAnswer(counters.get(), {}, 0, format, true, &gzipped);
    ASSERT_TRUE(zrexport::Gunzip(gzipped, &unzipped, plain.size()));
    EXPECT_EQ(unzipped, plain);
    EXPECT_EQ(plain.find("old"), std::string::npos);
    // Not the room for the worst case, about the plain size.
    EXPECT_LT(gzipped.capacity(), plain.size() / 4) << static_cast<int>(format);
  }
}

}  // namespace
