#include "Misc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <zrperf/framework/PlatformInfo.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

using zrperf_test::Record;
using zrperf_test::ScopedSink;

// A configuration store of its own in a fresh directory for its lifetime.
class TempStore {
 public:
  explicit TempStore(bool writable = true) : previous_(ZRPlatformInfo::GetStorePath()) {
    // A regular file where the store's directory should be: it cannot be created.
    if (!writable) dir_.Write("blocked", "not a directory");
    ZRPlatformInfo::SetStorePath(dir_.Path(writable ? "platform.db" : "blocked/platform.db"));
  }
  ~TempStore() { ZRPlatformInfo::SetStorePath(previous_); }
  // The stored staging directory, or "<absent>".
  static std::string Stored() {
    std::string value;
    ZRPlatformInfo store;
    return store.getString("Drovane", "ZrScsiSrvBStorStagingDir", &value) ? value : "<absent>";
  }

 private:
  std::string previous_;
  zrperf_test::TempDir dir_{"zrmisc"};
};

// The records of the staging update, without any the store sent itself.
std::vector<Record> UpdateRecords(const ScopedSink& sink) {
  std::vector<Record> mine;
  for (const Record& r : sink->Records()) {
    if (r.function == "bool UpdateBStorStagingLocRegKey(std::string)") mine.push_back(r);
  }
  return mine;
}

TEST(Misc, WritesAndReportsOnlyWhenTheStoredValueDiffers) {
  TempStore store;
  // Each call in turn: the path, and the report's text of it (null: no report).
  const std::pair<std::string, const char*> calls[] = {
      {"", ""},  // an empty path is written where nothing is stored
      {"", nullptr},
      {"/var/staging", "/var/staging"},
      {"/var/staging", nullptr},
      {"/VAR/Staging", "/VAR/Staging"},
      {std::string("/a\0b", 4), "/a"},  // stored by its length, reported up to the NUL
      // A line break cannot start a forged record line.
      {"/s\n2026-01-01 00:00:00.000 [critical] FORGED\t\x7f",
       "/s\\n2026-01-01 00:00:00.000 [critical] FORGED\\t\\x7f"},
  };
  for (const auto& [path, report] : calls) {
    SCOPED_TRACE(path);
    ScopedSink sink;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey(path));
    EXPECT_EQ(TempStore::Stored(), path);
    const std::vector<Record> records = UpdateRecords(sink);
    if (report == nullptr) {
      EXPECT_TRUE(records.empty()) << "same value rewritten";
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(
        std::tie(records[0].level, records[0].line, records[0].message),
        std::make_tuple(0, 18,
                        "UpdateBStorStagingLocRegKey: set ZrScsiSrvBStorStagingDir regkey to " +
                            std::string(report)));
  }
}

TEST(Misc, FailedWriteReturnsFalseAndEachReportWaitsForItsLevel) {
  // The sink's level, and whether the write and the failure are reported at it.
  const std::tuple<int, bool, bool> cases[] = {
      {0, true, true}, {-1, false, true}, {-2, false, false}};
  for (const auto& [level, writtenReported, failureReported] : cases) {
    SCOPED_TRACE("sink level " + std::to_string(level));
    {
      TempStore store;
      ScopedSink sink(level);
      EXPECT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
      EXPECT_EQ(UpdateRecords(sink).size(), writtenReported ? 1u : 0u);
    }
    TempStore store(/*writable=*/false);
    ScopedSink sink(level);
    EXPECT_FALSE(UpdateBStorStagingLocRegKey("/var/staging"));
    const std::vector<Record> records = UpdateRecords(sink);
    ASSERT_EQ(records.size(), failureReported ? 1u : 0u);
    for (const Record& r : records) {
      EXPECT_EQ(std::tie(r.level, r.line, r.message),
                std::make_tuple(-1, 21, "Could not set regkey ZrScsiSrvBStorStagingDir"));
    }
  }
}

// A length of 4 GiB or more does not fit the store's int: refused, never cut
// to its low 32 bits. The string's bytes are never touched, so the pages
// behind them are never allocated.
TEST(Misc, PathTooLongForTheStoreIsAFailedWrite) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators map shadow memory for all 4 GiB";
#endif
  TempStore store;
  ASSERT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
  ScopedSink sink;
  std::string huge;
  huge.resize_and_overwrite((std::size_t{1} << 32) + 5, [](char* p, std::size_t n) {
    std::memcpy(p, "/long", 5);  // the low 32 bits of the length: these 5 bytes
    return n;
  });
  EXPECT_FALSE(UpdateBStorStagingLocRegKey(std::move(huge)));
  EXPECT_EQ(TempStore::Stored(), "/var/staging");
  const std::vector<Record> records = UpdateRecords(sink);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Could not set regkey ZrScsiSrvBStorStagingDir");
}

}  // namespace
