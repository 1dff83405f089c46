// The staging-directory update against a store of its own.
//
// This executable replaces operator new so that a test can hand the update a
// string of more than 4 GiB without 4 GiB of memory: std::string writes every
// byte it holds, so a request of 4 GiB or more is served by one 1 MiB memory
// file mapped over and over along the whole length. The writes then
// cost page-table entries, not memory. Every other request goes to malloc.

#include "Misc.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <zrperf/framework/PlatformInfo.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

constexpr std::size_t kAliasedRequest = std::size_t{1} << 32;  // served by MapAliased()
constexpr std::size_t kAliasChunk = std::size_t{1} << 20;

// The one aliased block alive, so that either form of operator delete (a
// compiler without sized deallocation passes no size) gives it back whole.
std::atomic<void*> g_aliasedBlock{nullptr};
std::atomic<std::size_t> g_aliasedLength{0};

// `size` bytes (rounded up to the chunk) whose every chunk is the same 1 MiB
// of memory: a memory file (memfd) of one chunk, mapped shared at each chunk
// of a reserved range.
void* MapAliased(std::size_t size) {
  const std::size_t length = (size + kAliasChunk - 1) / kAliasChunk * kAliasChunk;
  const int fd = memfd_create("zrmisc-alias", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  void* base = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(kAliasChunk)) == 0) {
    base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  for (std::size_t offset = 0; base != MAP_FAILED && offset < length; offset += kAliasChunk) {
    if (mmap(static_cast<char*>(base) + offset, kAliasChunk, PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
      munmap(base, length);
      base = MAP_FAILED;
    }
  }
  close(fd);
  if (base == MAP_FAILED) return nullptr;
  void* none = nullptr;
  if (!g_aliasedBlock.compare_exchange_strong(none, base)) {  // one at a time
    munmap(base, length);
    return nullptr;
  }
  g_aliasedLength = length;
  return base;
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = size >= kAliasedRequest ? MapAliased(size) : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
namespace {

void Release(void* p) noexcept {
  if (p != nullptr && p == g_aliasedBlock.load()) {
    munmap(p, g_aliasedLength.load());
    g_aliasedBlock = nullptr;
  } else {
    std::free(p);
  }
}

}  // namespace

void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Release(p);
}

namespace {

using zrperf_test::FileFault;
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
  const std::string& Dir() const { return dir_.path(); }
  // PRAGMA integrity_check of the store (after any hot journal is rolled back).
  std::string Integrity() const {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(dir_.Path("platform.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    return result;
  }
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

// The records the store sent itself.
std::vector<Record> StoreRecords(const ScopedSink& sink) {
  std::vector<Record> theirs;
  for (const Record& r : sink->Records()) {
    if (r.function != "bool UpdateBStorStagingLocRegKey(std::string)") theirs.push_back(r);
  }
  return theirs;
}

// After a fault: the store holds `before` or `after`, whole, and the next
// update, to `next`, succeeds without a store record.
void ExpectRecovered(const TempStore& store, const ScopedSink& sink, const std::string& before,
                     const std::string& after, const std::string& next) {
  const std::string stored = TempStore::Stored();
  EXPECT_TRUE(stored == before || stored == after) << stored;
  EXPECT_EQ(store.Integrity(), "ok");
  sink->Clear();
  EXPECT_TRUE(UpdateBStorStagingLocRegKey(next));
  EXPECT_EQ(TempStore::Stored(), next);
  EXPECT_TRUE(StoreRecords(sink).empty());
  sink->Clear();
}

// One update that changes the value, with each fault at each of its file
// calls in turn: it returns false (with one store record that names the
// cause, and its own record) and the store holds the old value, or true and
// it holds the new one; an interruption or a short transfer never fails it;
// the store stays whole and the next update succeeds.
TEST(Misc, UpdateFailsWithItsCauseOrSucceedsUnderEveryFileFaultAndTheNextOneRecovers) {
  TempStore store;
  const std::string newPath = "/var/new";
  std::string before = "/var/old";
  ASSERT_TRUE(UpdateBStorStagingLocRegKey(before));
  zrperf_test::FaultyFiles files(store.Dir());
  ScopedSink sink;
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool mustSucceed = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    const char* cause = fault == FileFault::kNoSpace ? "No space left on device"
                        : fault == FileFault::kIo    ? "Input/output error"
                                                     : "File too large";
    long failed = 0;
    const long walked = zrperf_test::WalkFaults(
        files, fault, [&] { return UpdateBStorStagingLocRegKey(newPath); },
        [&](long n, bool ok) {
          SCOPED_TRACE(std::string(FaultName(fault)) + " at call " + std::to_string(n));
          failed += ok ? 0 : 1;
          EXPECT_TRUE(ok || !mustSucceed);
          const std::vector<Record> records = StoreRecords(sink);
          // One record for a failed update; at most one (a failed read
          // before a write that succeeded) for one that succeeded.
          EXPECT_EQ(records.size(), ok ? records.size() & 1 : 1u);
          for (const Record& r : records) {
            EXPECT_EQ(r.level, -1);
            EXPECT_NE(r.message.find("Configuration store " + store.Dir()), std::string::npos);
            EXPECT_NE(r.message.find(cause), std::string::npos) << r.message;
          }
          EXPECT_EQ(UpdateRecords(sink).size(), 1u);  // the write, or its failure
          // True only with the new value stored, false only with the old.
          EXPECT_EQ(TempStore::Stored(), ok ? newPath : before);
          const std::string next = "/var/next" + std::to_string(n);
          ExpectRecovered(store, sink, before, newPath, next);
          before = next;
        });
    ASSERT_TRUE(UpdateBStorStagingLocRegKey(before = "/var/old"));  // the last run stored the new
    sink->Clear();
    std::cout << FaultName(fault) << ": " << walked << " file calls walked, " << failed
              << " failed the update\n";
    EXPECT_GE(walked, 20) << "the store's file calls do not go through the seam";
    // The store's own calls and SQLite's, as counted with SQLite 3.40.1.
    EXPECT_TRUE(sqlite3_libversion_number() != 3040001 || walked == 42) << walked;
  }
}

// The update in a child killed at each of its file calls in turn: the store
// then holds the old value or the new one, whole, and the next update works.
TEST(Misc, UpdateKilledAtEveryFileCallLeavesTheOldOrTheNewValue) {
  TempStore store;
  const std::string newPath = "/var/new";
  std::string before = "/var/old";
  ASSERT_TRUE(UpdateBStorStagingLocRegKey(before));
  ScopedSink sink;
  const long walked = zrperf_test::WalkKills(
      store.Dir(), [&] { UpdateBStorStagingLocRegKey(newPath); },
      [&](long n) {
        SCOPED_TRACE("killed at call " + std::to_string(n));
        const std::string next = "/var/next" + std::to_string(n);
        ExpectRecovered(store, sink, before, newPath, next);
        before = next;
      });
  std::cout << "SIGKILL: " << walked << " file calls walked\n";
  EXPECT_GE(walked, 20);
  EXPECT_TRUE(sqlite3_libversion_number() != 3040001 || walked == 42) << walked;
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
// to its low 32 bits. The string's bytes live on one aliased 1 MiB block (see
// operator new above), so its length costs no memory.
TEST(Misc, PathTooLongForTheStoreIsAFailedWrite) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators map shadow memory for all 4 GiB";
#endif
  TempStore store;
  ASSERT_TRUE(UpdateBStorStagingLocRegKey("/var/staging"));
  ScopedSink sink;
  std::string huge((std::size_t{1} << 32) + 5, '\0');
  std::memcpy(&huge[0], "/long", 5);  // the low 32 bits of the length: these 5 bytes
  EXPECT_FALSE(UpdateBStorStagingLocRegKey(std::move(huge)));
  EXPECT_EQ(TempStore::Stored(), "/var/staging");
  const std::vector<Record> records = UpdateRecords(sink);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Could not set regkey ZrScsiSrvBStorStagingDir");
}

}  // namespace
