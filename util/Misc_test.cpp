#include "Misc.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "../framework/PlatformInfo.h"
#include "../tests/support/CapturingSink.h"
#include "../tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using zrperf_test::CapturingSink;
using zrperf_test::Record;

const char kFunction[] = "bool UpdateBStorStagingLocRegKey(std::string)";

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

// Installs a capturing sink in g_ptrLogWriter for its lifetime.
class InstalledSink {
 public:
  explicit InstalledSink(int level = 0) : sink_(new CapturingSink(level)) {
    g_ptrLogWriter = sink_;
  }
  ~InstalledSink() { g_ptrLogWriter.reset(); }
  // The records of the staging update, without any the store sent itself.
  std::vector<Record> Records() const {
    std::vector<Record> mine;
    for (const Record& r : sink_->Records())
      if (r.function == kFunction) mine.push_back(r);
    return mine;
  }

 private:
  boost::shared_ptr<CapturingSink> sink_;
};

void ExpectWrittenReport(const std::vector<Record>& records, const std::string& path) {
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 0);
  EXPECT_EQ(records[0].line, 18);
  EXPECT_EQ(records[0].message,
            "UpdateBStorStagingLocRegKey: set ZrScsiSrvBStorStagingDir regkey to " + path);
}

TEST(Misc, WritesAndReportsOnlyWhenTheStoredValueDiffers) {
  TempStore store;
  {
    InstalledSink sink;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
    ExpectWrittenReport(sink.Records(), "/var/staging");
  }
  EXPECT_EQ(TempStore::Stored(), "/var/staging");
  {
    InstalledSink sink;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
    EXPECT_TRUE(sink.Records().empty()) << "same value rewritten";
  }
  {
    InstalledSink sink;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey("/VAR/Staging"));
    ExpectWrittenReport(sink.Records(), "/VAR/Staging");
  }
  EXPECT_EQ(TempStore::Stored(), "/VAR/Staging");
  const std::string withNul("/a\0b", 4);  // stored by its length, not up to the NUL
  EXPECT_TRUE(UpdateBStorStagingLocRegKey(withNul));
  EXPECT_EQ(TempStore::Stored(), withNul);
}

TEST(Misc, EmptyPathIsWrittenUnlessAnEmptyValueIsStored) {
  {
    TempStore store;
    ZRPlatformInfo().setString("Drovane", "ZrScsiSrvBStorStagingDir", "", 0);
    InstalledSink sink;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey(""));
    EXPECT_TRUE(sink.Records().empty());
  }
  TempStore store;
  InstalledSink sink;
  EXPECT_TRUE(UpdateBStorStagingLocRegKey(""));
  ExpectWrittenReport(sink.Records(), "");
  EXPECT_EQ(TempStore::Stored(), "");
}

TEST(Misc, FailedWriteReturnsFalseAndEachReportWaitsForItsLevel) {
  const struct {
    int level;
    bool writtenReported;
    bool failureReported;
  } cases[] = {{0, true, true}, {-1, false, true}, {-2, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE("sink level " + std::to_string(c.level));
    {
      TempStore store;
      InstalledSink sink(c.level);
      EXPECT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
      EXPECT_EQ(sink.Records().size(), c.writtenReported ? 1u : 0u);
    }
    TempStore store(/*writable=*/false);
    InstalledSink sink(c.level);
    EXPECT_FALSE(UpdateBStorStagingLocRegKey("/var/staging"));
    const std::vector<Record> records = sink.Records();
    ASSERT_EQ(records.size(), c.failureReported ? 1u : 0u);
    for (const Record& r : records) {
      EXPECT_EQ(r.level, -1);
      EXPECT_EQ(r.line, 21);
      EXPECT_EQ(r.message, "Could not set regkey ZrScsiSrvBStorStagingDir");
    }
  }
}

TEST(Misc, WithoutSinkReportsAreDroppedAndResultsAreTheSame) {
  ASSERT_FALSE(g_ptrLogWriter);
  {
    TempStore store;
    EXPECT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
    EXPECT_EQ(TempStore::Stored(), "/var/staging");
  }
  TempStore store(/*writable=*/false);
  EXPECT_FALSE(UpdateBStorStagingLocRegKey("/var/staging"));
}

}  // namespace
