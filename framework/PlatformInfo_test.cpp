#include "PlatformInfo.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/framework/internal/StoreSql.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FaultCause.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

namespace fs = std::filesystem;
using zrperf_test::FileFault;
using zrperf_test::ReadFile;
using zrperf_test::WriteFile;

int Set(const std::string& section, const std::string& name, const std::string& value) {
  return ZRPlatformInfo().setString(section.c_str(), name.c_str(), value.data(),
                                    static_cast<int>(value.size()));
}

// Returns the value, or "<absent>" when getString reports none.
std::string Get(const std::string& section, const std::string& name) {
  std::string value;
  return ZRPlatformInfo().getString(section.c_str(), name.c_str(), &value) ? value : "<absent>";
}

// The result of PRAGMA integrity_check on the database at `path` (after any
// hot journal left by a killed writer has been rolled back).
std::string IntegrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close_v2(db);
  return result;
}

// Runs `body` in a child process under the user and group `id`; true when it
// returned true there.
template <typename Body>
bool RunAs(uid_t id, Body body) {
  return zrperf_test::ExitedCleanly(zrperf_test::ForkTogether(1, [&](int) {
    const bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
                         ::setresuid(id, id, id) == 0;
    return dropped && body() ? 0 : 1;
  }));
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The store's busy budget for its lifetime.
class ScopedBudget {
 public:
  explicit ScopedBudget(std::chrono::milliseconds budget)
      : m_previous(zrfw::store::SetBusyBudget(budget)) {}
  ~ScopedBudget() { zrfw::store::SetBusyBudget(m_previous); }
  ScopedBudget(const ScopedBudget&) = delete;
  ScopedBudget& operator=(const ScopedBudget&) = delete;

 private:
  const std::chrono::milliseconds m_previous;
};

// Expects `count` error records in `sink`, each naming every one of `parts`.
void ExpectErrors(const zrperf_test::ScopedSink& sink, std::size_t count,
                  std::initializer_list<std::string> parts) {
  const std::vector<zrperf_test::Record> records = sink->Records();
  EXPECT_EQ(records.size(), count);
  for (const zrperf_test::Record& r : records) {
    EXPECT_EQ(r.level, -1);
    for (const std::string& part : parts)
      EXPECT_NE(r.message.find(part), std::string::npos) << r.message;
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits, up to a minute, until a caller holds the door (byte 0) of the lock
// file `lock`, as one does while it waits for the room.
bool AwaitDoorHeld(const std::string& lock) {
  const int fd = ::open(lock.c_str(), O_RDONLY);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  struct flock probe = {F_UNLCK, SEEK_SET, 0, 1, 0};
  while (fd >= 0 && std::chrono::steady_clock::now() < deadline) {
    probe = {F_WRLCK, SEEK_SET, 0, 1, 0};
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(fd);
  return probe.l_type != F_UNLCK;
}

// Each test gets its own directory with the store in a subdirectory that does
// not exist yet, and a capturing sink in g_ptrLogWriter.
class PlatformInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { ZRPlatformInfo::SetStorePath(m_store); }
  void TearDown() override { ZRPlatformInfo::SetStorePath(ZRPlatformInfo::kDefaultStorePath); }

  // A directory "shared" that every user may write to (sticky, as /tmp is).
  std::string SharedDir() {
    const std::string shared = m_dir.Path("shared");
    EXPECT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    EXPECT_TRUE(fs::create_directory(shared));
    EXPECT_EQ(::chmod(shared.c_str(), 01777), 0);
    return shared;
  }

  zrperf_test::TempDir m_dir{"zrfw-store"};
  const std::string m_store = m_dir.Path("state/platform.db");
  zrperf_test::ScopedSink m_sink;
};

// The defaults: the store's path (each test below sets its own and puts the
// default back) and its busy budget.
TEST(PlatformInfoDefaults, StorePathAndBusyBudget) {
  EXPECT_STREQ(ZRPlatformInfo::kDefaultStorePath, "/var/lib/zrperf/platform.db");
  EXPECT_EQ(ZRPlatformInfo::GetStorePath(), "/var/lib/zrperf/platform.db");
  EXPECT_EQ(zrfw::store::BusyBudget(), std::chrono::milliseconds(30 * 1000));
}

TEST_F(PlatformInfoTest, ValuesRoundTripByteForByteUnderIndependentKeysAndNullsWriteNothing) {
  std::string value = "keep";
  EXPECT_EQ(ZRPlatformInfo().getString("A", "x", &value), 0) << "no store file yet";
  EXPECT_FALSE(fs::exists(m_dir.Path("state"))) << "a reader created the store's directory";
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  const std::string withNul("ab\0cd\n\tef\0", 10);
  const std::string large(200000, '\xA5');
  for (const std::string& bytes : {every, withNul, large, std::string()}) {
    ASSERT_EQ(Set("Bytes", "v", bytes), 1);
    EXPECT_EQ(Get("Bytes", "v"), bytes);
  }
  // An empty value exists and replaces whatever the caller's string held.
  value = "previous";
  EXPECT_NE(ZRPlatformInfo().getString("Bytes", "v", &value), 0);
  EXPECT_EQ(value, "");
  // Only the first `length` bytes are stored.
  ASSERT_EQ(ZRPlatformInfo().setString("Bytes", "v", "truncated", 4), 1);
  EXPECT_EQ(Get("Bytes", "v"), "trun");

  // Sections and names are independent case-sensitive keys; null arguments
  // and a negative length write nothing.
  value = "keep";
  // "Ax"/"" concatenates to the same text as "A"/"x" and must stay distinct.
  const std::pair<const char*, const char*> keys[] = {{"A", "x"}, {"B", "x"}, {"A", "y"},
                                                      {"a", "x"}, {"A", "X"}, {"Ax", ""}};
  for (const auto& [section, name] : keys) {
    ASSERT_EQ(Set(section, name, std::string(section) + "." + name), 1);
  }
  for (const auto& [section, name] : keys) {
    EXPECT_EQ(Get(section, name), std::string(section) + "." + name);
  }
  EXPECT_EQ(Get("B", "y"), "<absent>");

  ZRPlatformInfo store;
  EXPECT_EQ(store.setString(nullptr, "n", "v", 1), 0);
  EXPECT_EQ(store.setString("S", nullptr, "v", 1), 0);
  EXPECT_EQ(store.setString("S", "n", nullptr, 1), 0);
  EXPECT_EQ(store.setString("S", "n", "v", -1), 0);
  EXPECT_EQ(store.getString(nullptr, "n", &value), 0);
  EXPECT_EQ(store.getString("S", nullptr, &value), 0);
  EXPECT_EQ(store.getString("S", "n", nullptr), 0);
  EXPECT_EQ(store.getString("S", "n", &value), 0);
  EXPECT_EQ(value, "keep");
  EXPECT_TRUE(m_sink->Records().empty());
}

// A VFS in front of the default one that counts WAL opens, journal deletes and
// syncs, to see the durability settings (rollback journal, synchronous=FULL).
struct FileEvents {
  int walOpens = 0, journalDeletes = 0, journalSyncs = 0, databaseSyncs = 0;
};
FileEvents g_events;
sqlite3_vfs* g_real = nullptr;
// Per default methods table and kind of file, its counting copy; per copy, its original.
std::map<std::pair<const sqlite3_io_methods*, bool>, sqlite3_io_methods> g_copies;
std::map<const sqlite3_io_methods*, const sqlite3_io_methods*> g_originals;

template <bool kJournal>
int CountingSync(sqlite3_file* f, int flags) {
  ++(kJournal ? g_events.journalSyncs : g_events.databaseSyncs);
  return g_originals.at(f->pMethods)->xSync(f, flags);
}

sqlite3_vfs MakeCountingVfs() {
  g_real = sqlite3_vfs_find(nullptr);
  sqlite3_vfs vfs = *g_real;
  vfs.zName = "zrperf-counting";
  vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out) {
    g_events.walOpens += (flags & SQLITE_OPEN_WAL) ? 1 : 0;
    const int rc = g_real->xOpen(g_real, name, f, flags, out);
    if (f->pMethods == nullptr) return rc;
    const bool journal = (flags & SQLITE_OPEN_MAIN_JOURNAL) != 0;
    sqlite3_io_methods& copy = g_copies[{f->pMethods, journal}];
    if (copy.xSync == nullptr) {
      copy = *f->pMethods;
      copy.xSync = journal ? CountingSync<true> : CountingSync<false>;
      g_originals[&copy] = f->pMethods;
    }
    f->pMethods = &copy;
    return rc;
  };
  vfs.xDelete = [](sqlite3_vfs*, const char* name, int syncDir) {
    const std::string n = name;
    g_events.journalDeletes += n.size() > 8 && n.substr(n.size() - 8) == "-journal" ? 1 : 0;
    return g_real->xDelete(g_real, name, syncDir);
  };
  return vfs;
}

TEST_F(PlatformInfoTest, EachWriteCommitsThroughASyncedRollbackJournal) {
  static sqlite3_vfs vfs = MakeCountingVfs();
  ASSERT_EQ(Set("D", "n", "create"), 1);  // the store exists before counting starts
  ASSERT_EQ(sqlite3_vfs_register(&vfs, 1), SQLITE_OK);
  g_events = FileEvents();
  constexpr int kWrites = 3;
  for (int i = 0; i < kWrites; ++i) ASSERT_EQ(Set("D", "n", std::to_string(i)), 1);
  EXPECT_EQ(Get("D", "n"), std::to_string(kWrites - 1));
  sqlite3_vfs_unregister(&vfs);
  EXPECT_EQ(g_events.walOpens, 0);
  EXPECT_EQ(g_events.journalDeletes, kWrites);
  EXPECT_EQ(g_events.journalSyncs, 2 * kWrites);
  EXPECT_EQ(g_events.databaseSyncs, kWrites);

  // A store that an older version left in WAL mode is switched back.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(m_store.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_EQ(Set("D", "n", "back"), 1);
  EXPECT_FALSE(fs::exists(m_store + "-wal"));
  EXPECT_EQ(ReadFile(m_store).substr(18, 2), std::string("\1\1", 2)) << "not a rollback journal";
  EXPECT_TRUE(m_sink->Records().empty());
}

// The store does not exist yet when the writers start.
TEST_F(PlatformInfoTest, ThreadsAndProcessesWritingAtOnceLoseNothing) {
  constexpr int kWriters = 3;  // processes, and as many threads here
  constexpr int kWrites = 20;
  // One store object per writer; each write goes to a setting of its own and
  // to the shared one. Returns the number of failed writes.
  const auto writeAll = [&](const std::string& writer) {
    ZRPlatformInfo store;
    int failed = 0;
    for (int i = 0; i < kWrites; ++i) {
      const std::string value = writer + "-" + std::to_string(i);
      for (const char* name : {value.c_str(), "shared"}) {
        failed += store.setString("W", name, value.data(), static_cast<int>(value.size())) ? 0 : 1;
      }
      // Setting the path races with the other threads' constructors reading it.
      if (writer == "t0") ZRPlatformInfo::SetStorePath(m_store);
    }
    return failed;
  };
  const std::vector<pid_t> children = zrperf_test::ForkTogether(
      kWriters, [&](int p) { return writeAll("p" + std::to_string(p)) == 0 ? 0 : 1; });
  std::atomic<int> failures{0};
  zrperf_test::RunTogether(kWriters, [&](int t) { failures += writeAll("t" + std::to_string(t)); });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(zrperf_test::ExitedCleanly(children));
  for (int n = 0; n < 2 * kWriters * kWrites; ++n) {
    const std::string name = (n < kWriters * kWrites ? "p" : "t") +
                             std::to_string(n / kWrites % kWriters) + "-" +
                             std::to_string(n % kWrites);
    EXPECT_EQ(Get("W", name), name);
  }
  // The shared setting holds the last write of one of the writers.
  const std::string shared = Get("W", "shared");
  EXPECT_EQ(shared.substr(shared.find('-')), "-" + std::to_string(kWrites - 1));
  EXPECT_TRUE(m_sink->Records().empty());
}

// What one process of the load below reports through the pipe they share.
struct LoadResult {
  int process;
  long calls, failures, worstUs;
};

// Two looping writers (one handle each) and four looping readers (two reuse a
// handle) share the store for 3 s: no call fails. With ZRPERF_STORE_LOAD_SECONDS
// (an idle machine only) no call waits a second and no writer gets under a
// quarter of the other's writes.
TEST_F(PlatformInfoTest, LoopingWritersAndReadersShareTheStoreAndNoCallFails) {
  constexpr int kWriters = 2, kReaders = 4;
  const char* seconds = std::getenv("ZRPERF_STORE_LOAD_SECONDS");
  const bool measured = seconds != nullptr;
  const auto duration = std::chrono::seconds(measured ? std::atoi(seconds) : 3);
  ASSERT_EQ(Set("Load", "value", "initial"), 1);
  int reports[2];
  ASSERT_EQ(::pipe(reports), 0);
  const std::vector<pid_t> children = zrperf_test::ForkTogether(kWriters + kReaders, [&](int p) {
    LoadResult r{p, 0, 0, 0};
    const std::string value = "writer-" + std::to_string(p);
    ZRPlatformInfo kept;
    const auto end = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < end;) {
      bool ok = false;
      if (p < kWriters) {
        ok = kept.setString("Load", "value", value.data(), static_cast<int>(value.size())) == 1;
      } else {
        ZRPlatformInfo fresh;
        std::string read;
        ok = (p % 2 == 0 ? kept : fresh).getString("Load", "value", &read) == 1;
      }
      const auto after = std::chrono::steady_clock::now();
      const long us = std::chrono::duration_cast<std::chrono::microseconds>(after - now).count();
      r.worstUs = std::max(r.worstUs, us);
      ++(ok ? r.calls : r.failures);
      now = after;
    }
    return ::write(reports[1], &r, sizeof(r)) == sizeof(r) ? 0 : 1;  // one atomic write
  });
  ::close(reports[1]);
  EXPECT_TRUE(zrperf_test::ExitedCleanly(children));
  std::vector<LoadResult> results(children.size(), LoadResult{-1, 0, 0, 0});
  for (LoadResult r; ::read(reports[0], &r, sizeof(r)) == sizeof(r);) results.at(r.process) = r;
  ::close(reports[0]);
  long worstWriteUs = 0, worstReadUs = 0;
  for (int p = 0; p < kWriters + kReaders; ++p) {
    EXPECT_EQ(results[p].process, p) << "no report";
    EXPECT_EQ(results[p].failures, 0) << "process " << p;
    (p < kWriters ? worstWriteUs : worstReadUs) =
        std::max(p < kWriters ? worstWriteUs : worstReadUs, results[p].worstUs);
  }
  const long a = results[0].calls, b = results[1].calls;
  EXPECT_GT(std::min(a, b), 0);
  if (measured) {
    EXPECT_GE(std::min(a, b) * 4, std::max(a, b)) << "a writer starved: " << a << " and " << b;
    EXPECT_LT(worstWriteUs, 1000000) << "a writer starved";
    EXPECT_LT(worstReadUs, 1000000) << "a reader starved";
  }
  EXPECT_TRUE(m_sink->Records().empty());
}

// Kills the child (a stopped one too) and reaps it; true when the kill ended it.
bool EndChild(pid_t pid) {
  int status = 0;
  return ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status);
}

// A write of a value spanning several pages, in a child killed at each of its
// file calls in turn: the store holds the old value or the new one, passes
// SQLite's integrity check and takes the next write.
TEST_F(PlatformInfoTest, WriteKilledAtEveryFileCallLeavesTheOldOrTheNewValue) {
  const std::string oldValue(3 * 4096, 'o');
  const std::string newValue(3 * 4096, 'n');
  ASSERT_EQ(Set("Kill", "value", oldValue), 1);
  const long walked = zrperf_test::WalkKills(
      m_dir.path(), [&] { Set("Kill", "value", newValue); },
      [&](long n) {
        const std::string after = Get("Kill", "value");
        EXPECT_TRUE(after == oldValue || after == newValue) << "killed at call " << n;
        EXPECT_EQ(IntegrityCheck(m_store), "ok") << "killed at call " << n;
        ASSERT_EQ(Set("Kill", "value", oldValue), 1);
        EXPECT_EQ(Get("Kill", "value"), oldValue);
      });
  std::cout << "a write: " << walked << " file calls walked\n";
  EXPECT_GE(walked, 20) << "the store's file calls do not go through the seam";
  EXPECT_TRUE(sqlite3_libversion_number() != 3040001 || walked == 48) << walked;  // counted on it
  EXPECT_TRUE(m_sink->Records().empty());
}

// Each fault at each file call of a read or write on a handle in each state: the
// call succeeds (always, on an interruption or short transfer) or fails with
// one record naming the cause; the store holds the new value only after a write
// that succeeded; the handle's next calls work (no connection kept after an I/O
// error, nor a read-only one SQLite fell back to).
TEST_F(PlatformInfoTest, AHandleFailedByAFileFaultWorksAgainOnItsNextCall) {
  ASSERT_EQ(Set("F", "n", "old"), 1);
  std::unique_ptr<ZRPlatformInfo> handle;
  std::string value;
  const auto read = [&] { return handle->getString("F", "n", &value) == 1; };
  const auto write = [&](const char* v) {
    return handle->setString("F", "n", v, static_cast<int>(std::strlen(v))) == 1;
  };
  struct Kind {
    const char* name;
    bool writing;
    int opened;  // 0: new, 1: opened by a read, 2: opened by a write
    long calls;  // its file calls with SQLite 3.40.1, on which they were counted
  };
  const Kind kinds[] = {{"read on a new handle", false, 0, 11},
                        {"read on an open handle", false, 1, 1},
                        {"write on a new handle", true, 0, 27},
                        {"write on a handle open for reading", true, 1, 29},
                        {"write on a handle open for writing", true, 2, 17}};
  zrperf_test::FaultyFiles files(m_dir.path());
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool mustSucceed = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    for (const Kind& kind : kinds) {
      // A handle that wrote back the old value is open for writing already.
      const auto prepare = [&] {
        if (kind.opened == 2 && handle) return;
        handle.reset(new ZRPlatformInfo);
        EXPECT_TRUE(kind.opened == 0 || (kind.opened == 1 ? read() : write("old")));
      };
      prepare();
      m_sink->Clear();
      const long walked = zrperf_test::WalkFaults(
          files, fault, [&] { return kind.writing ? write("new") : read(); },
          [&](long n, bool ok) {
            SCOPED_TRACE(std::string(FaultName(fault)) + ", " + kind.name + ", call " +
                         std::to_string(n));
            EXPECT_TRUE(ok || !mustSucceed);
            const std::vector<zrperf_test::Record> records = m_sink->Records();
            EXPECT_EQ(records.size(), ok ? 0u : 1u);
            for (const zrperf_test::Record& r : records) {
              EXPECT_NE(r.message.find(zrperf_test::FaultCause(fault)), std::string::npos)
                  << r.message;
              // No write is tried through a connection SQLite opened read-only.
              EXPECT_EQ(r.message.find("readonly database"), std::string::npos) << r.message;
            }
            EXPECT_TRUE(!ok || kind.writing || value == "old") << value;
            EXPECT_EQ(Get("F", "n"), ok && kind.writing ? "new" : "old");
            // The same handle writes back the old value and reads it.
            EXPECT_TRUE(write("old"));
            EXPECT_TRUE(read());
            EXPECT_EQ(value, "old");
            prepare();
            m_sink->Clear();
          });
      ASSERT_EQ(Set("F", "n", "old"), 1);  // the last run, unfailed, wrote the new value
      handle.reset();
      std::cout << FaultName(fault) << ", " << kind.name << ": " << walked
                << " file calls walked\n";
      EXPECT_GE(walked, 1);
      EXPECT_TRUE(sqlite3_libversion_number() != 3040001 || walked == kind.calls) << walked;
    }
  }
}

// After a failed read or write the object's next call opens the store afresh
// (here: a store put in its place meanwhile).
TEST_F(PlatformInfoTest, AFailedCallOpensTheStoreAfreshOnTheObjectsNextCall) {
  const std::string other = m_dir.Path("other.db");
  for (const bool writing : {false, true}) {
    SCOPED_TRACE(writing ? "a failed write" : "a failed read");
    ASSERT_EQ(Set("S", "n", "first"), 1);
    ZRPlatformInfo handle;
    std::string value;
    {
      zrperf_test::FaultyFiles files(m_dir.path());  // sees the files the handle opens
      ASSERT_EQ(writing ? handle.setString("S", "n", "x", 1) : handle.getString("S", "n", &value),
                1);
      files.Arm(1, FileFault::kIo);  // the call's first file call
      EXPECT_EQ(writing ? handle.setString("S", "n", "y", 1) : handle.getString("S", "n", &value),
                0);
      EXPECT_TRUE(files.Fired());
    }
    ZRPlatformInfo::SetStorePath(other);
    ASSERT_EQ(Set("S", "n", "replaced"), 1);
    ZRPlatformInfo::SetStorePath(m_store);
    ASSERT_EQ(::rename(other.c_str(), m_store.c_str()), 0);
    EXPECT_EQ(handle.getString("S", "n", &value), 1);
    EXPECT_EQ(value, "replaced");
  }
}

// Holds the room (byte 1 of the lock file) of `store` in a child for good:
// shared, or exclusive and then stopped, as a writer stopped inside a call.
// Returns the child's pid once it holds it, -1 when it could not.
pid_t HoldRoom(const std::string& store, bool exclusive, uid_t as = 0) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (as != 0 && (::setresgid(as, as, as) != 0 || ::setresuid(as, as, as) != 0)) ::_exit(1);
    const int fd = ::open((store + "-lock").c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_NONBLOCK);
    struct flock lock = {static_cast<short>(exclusive ? F_WRLCK : F_RDLCK), SEEK_SET, 1, 1, 0};
    const bool held = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
    if (::write(ready[1], held ? "y" : "n", 1) != 1 || !held) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char c = 'n';
  const bool held = pid > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
  ::close(ready[0]);
  if (held && exclusive) ::kill(pid, SIGSTOP);
  if (held) return pid;
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return -1;
}

// A process that keeps the room (a reader for good, a stopped writer) costs each
// waiting call the busy budget, then the call fails as on a busy database; a
// reader still shares a reader's turn.
TEST_F(PlatformInfoTest, TurnHeldForGoodFailsTheWaitingCallsAfterTheBusyBudget) {
  const ScopedBudget budget(std::chrono::milliseconds(1500));
  const std::string held = m_dir.Path("held/platform.db");
  const std::string stopped = m_dir.Path("stopped/platform.db");
  for (const std::string& store : {held, stopped}) {
    ZRPlatformInfo::SetStorePath(store);
    ASSERT_EQ(Set("S", "n", "before"), 1);  // creates the store and its lock file
  }
  const pid_t reader = HoldRoom(held, false);
  const pid_t writer = HoldRoom(stopped, true);
  ASSERT_GT(reader, 0);
  ASSERT_GT(writer, 0);
  // A reader shares the holder's turn (asked first: a writer waiting at the
  // door keeps later readers out).
  ZRPlatformInfo::SetStorePath(held);
  EXPECT_EQ(Get("S", "n"), "before");
  // The waiting calls: a write into each store, and a read of the stopped writer's.
  std::unique_ptr<ZRPlatformInfo> handles[3];
  int results[] = {-1, -1, -1};
  double seconds[3] = {};
  for (int i = 0; i < 3; ++i) {
    ZRPlatformInfo::SetStorePath(i == 0 ? held : stopped);
    handles[i].reset(new ZRPlatformInfo);
  }
  m_sink->Clear();
  zrperf_test::RunTogether(3, [&](int i) {
    std::string value;
    const auto start = std::chrono::steady_clock::now();
    results[i] = i < 2 ? handles[i]->setString("S", "n", "after", 5)
                       : handles[i]->getString("S", "n", &value);
    seconds[i] = SecondsSince(start);
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i], 0) << i;
    // The budget, not a speed: never given up before it, and given up.
    EXPECT_GE(seconds[i], 1.45) << i;
    EXPECT_LT(seconds[i], 60.0) << i;
  }
  ExpectErrors(m_sink, 3, {"database is locked (no turn in ", "/platform.db-lock within 1.5 s)"});
  EndChild(reader);
  EndChild(writer);
  for (const std::string& store : {held, stopped}) {
    ZRPlatformInfo::SetStorePath(store);
    EXPECT_EQ(Get("S", "n"), "before");
    EXPECT_EQ(Set("S", "n", "after"), 1);
  }
}

// Without the lock file, a connection holding SQLite's lock for good costs each
// call the busy budget, then the call fails; the next after it lets go works.
// Lock conflicts, and nothing else, are retried until the budget is spent.
TEST_F(PlatformInfoTest, SqliteLockHeldForGoodFailsTheCallsAfterTheBusyBudget) {
  ASSERT_EQ(Set("S", "n", "before"), 1);
  fs::remove(m_store + "-lock");
  const ScopedBudget budget(std::chrono::milliseconds(1000));
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open_v2(m_store.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  m_sink->Clear();
  for (int write = 0; write < 2; ++write) {
    ZRPlatformInfo store;
    std::string value;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write ? store.setString("S", "n", "after", 5) : store.getString("S", "n", &value), 0);
    const double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 0.95) << write;
    EXPECT_LT(seconds, 60.0) << write;
  }
  ExpectErrors(m_sink, 2, {"database is locked"});
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(holder);
  EXPECT_EQ(Set("S", "n", "after"), 1);
  EXPECT_EQ(Get("S", "n"), "after");

  // The retries themselves, each conflict code, primary or extended.
  using zrfw::store::RetryWhileBusy;
  for (const int conflict :
       {SQLITE_BUSY, SQLITE_LOCKED, SQLITE_BUSY_SNAPSHOT, SQLITE_LOCKED_SHAREDCACHE}) {
    int calls = 0;
    EXPECT_EQ(RetryWhileBusy(nullptr, [&] { return ++calls < 3 ? conflict : SQLITE_OK; }),
              SQLITE_OK);
    EXPECT_EQ(calls, 3) << conflict;
    calls = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RetryWhileBusy(nullptr, [&] { return ++calls, conflict; }), conflict);
    EXPECT_GE(SecondsSince(start), 0.95) << conflict;
    EXPECT_GT(calls, 1) << conflict;
  }
  for (const int failure : {SQLITE_ERROR, SQLITE_IOERR, SQLITE_FULL, SQLITE_CORRUPT}) {
    int calls = 0;
    EXPECT_EQ(RetryWhileBusy(nullptr, [&] { return ++calls, failure; }), failure);
    EXPECT_EQ(calls, 1) << failure;
  }
}

// A call waiting for the room holds the door, so the writer that leaves the
// room and comes straight back (a looping writer) goes after it, whether it
// is a writer or a reader. Three rounds of each.
TEST_F(PlatformInfoTest, ACallWaitingForTheRoomGoesBeforeTheWriterThatLeftIt) {
  const std::string lock = m_store + "-lock";
  for (int round = 0; round < 6; ++round) {
    const bool reader = round % 2 == 1;
    SCOPED_TRACE(std::string(reader ? "reader" : "writer") + " waits, round " +
                 std::to_string(round));
    ASSERT_EQ(Set("Q", "n", "initial"), 1);  // the first one creates the lock file
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t looper = ::fork();
    if (looper == 0) {
      const int fd = ::open(lock.c_str(), O_RDWR);
      struct flock room = {F_WRLCK, SEEK_SET, 1, 1, 0};
      const bool held = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &room) == 0;
      char c = held ? 'y' : 'n';
      if (::write(ready[1], &c, 1) != 1 || !held || ::read(go[0], &c, 1) != 1) ::_exit(1);
      room.l_type = F_UNLCK;
      ::fcntl(fd, F_OFD_SETLK, &room);
      ::_exit(Set("Q", "n", "looper") == 1 ? 0 : 1);
    }
    char c = 'n';
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    std::string seen;
    int waited = -1;
    std::thread waiter(
        [&] { waited = reader ? (seen = Get("Q", "n"), 1) : Set("Q", "n", "waiter"); });
    const bool queued = AwaitDoorHeld(lock);  // the waiter, waiting for the room
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    waiter.join();
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    EXPECT_TRUE(zrperf_test::ExitedCleanly({looper}));
    ASSERT_TRUE(queued);
    EXPECT_EQ(waited, 1);
    EXPECT_EQ(Get("Q", "n"), "looper") << "the looping writer went first";
    EXPECT_TRUE(!reader || seen == "initial") << seen;
  }
  EXPECT_TRUE(m_sink->Records().empty());
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// The lock file is never more open than the store: created with its bits,
// narrowed after it, and not used when it cannot be (another user's, a link, a FIFO).
TEST_F(PlatformInfoTest, LockFileIsNeverMoreOpenThanTheStore) {
  const ScopedBudget budget(std::chrono::milliseconds(1500));  // a lock file used by mistake fails
  const std::string lock = m_store + "-lock";
  const mode_t umask = ::umask(027);
  ASSERT_EQ(Set("S", "n", "v"), 1);
  ::umask(umask);
  EXPECT_EQ(ModeOf(m_store), 0640u);
  EXPECT_EQ(ModeOf(lock), 0640u);
  ASSERT_EQ(::chmod(m_store.c_str(), 0600), 0);
  EXPECT_EQ(Get("S", "n"), "v");
  EXPECT_EQ(ModeOf(lock), 0600u) << "a private store's lock file is open to its group";
  ASSERT_EQ(::chmod(lock.c_str(), 0666), 0);
  EXPECT_EQ(Set("S", "n", "w"), 1);
  EXPECT_EQ(ModeOf(lock), 0600u);
  // A reader never creates it; a writer does, with the store's bits whatever
  // its umask, and as root with the store's owner.
  fs::remove(lock);
  EXPECT_EQ(Get("S", "n"), "w");
  EXPECT_FALSE(fs::exists(lock)) << "a reader created the lock file";
  ASSERT_EQ(::chmod(m_store.c_str(), 0660), 0);
  const mode_t narrow = ::umask(077);
  EXPECT_EQ(Set("S", "n", "w"), 1);
  ::umask(narrow);
  EXPECT_EQ(ModeOf(lock), 0660u) << "the umask narrowed the lock file";
  ASSERT_EQ(::chmod(m_store.c_str(), 0600), 0);
  if (::geteuid() == 0) {
    constexpr uid_t kOwner = 64104;
    struct stat st;
    ASSERT_EQ(::chown(m_store.c_str(), kOwner, kOwner), 0);
    fs::remove(lock);
    EXPECT_EQ(Set("S", "n", "w"), 1);
    EXPECT_TRUE(::stat(lock.c_str(), &st) == 0 && st.st_uid == kOwner && st.st_gid == kOwner);
    ASSERT_EQ(::chown(m_store.c_str(), 0, 0), 0);
  }

  // A link, a second name or a FIFO in its place is not used (nor its target
  // touched): a reader holding the room of what is there does not hold a writer.
  const std::string target = m_dir.Write("target", "t");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  for (int kind = 0; kind < 3; ++kind) {
    fs::remove(lock);
    ASSERT_EQ(kind == 0   ? ::symlink(target.c_str(), lock.c_str())
              : kind == 1 ? ::link(target.c_str(), lock.c_str())
                          : ::mkfifo(lock.c_str(), 0600),
              0);
    const pid_t holder = HoldRoom(m_store, false);
    ASSERT_GT(holder, 0) << kind;
    EXPECT_EQ(Get("S", "n"), std::string(1, "wxy"[kind])) << kind;
    EXPECT_EQ(Set("S", "n", std::string(1, "xyz"[kind])), 1) << kind;
    EndChild(holder);
  }
  EXPECT_EQ(Get("S", "n"), "z");
  EXPECT_EQ(ModeOf(target), 0644u) << "narrowed another name of the file";
  EXPECT_TRUE(m_sink->Records().empty());
  fs::remove(lock);

  // Another user's lock file planted beside a shared store before its first
  // write, with that user holding its room: the owner's calls go without it.
  if (::geteuid() != 0) return;
  constexpr uid_t kOther = 64103;
  const std::string store = SharedDir() + "/platform.db";
  ZRPlatformInfo::SetStorePath(store);
  ASSERT_TRUE(RunAs(kOther, [&] {
    const int fd = ::open((store + "-lock").c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    return fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0;
  }));
  ASSERT_EQ(Set("S", "n", "first"), 1);  // creates the store, not the lock file
  const pid_t holder = HoldRoom(store, false, kOther);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(Set("S", "n", "second"), 1);
  EXPECT_EQ(Get("S", "n"), "second");
  EndChild(holder);
  EXPECT_TRUE(m_sink->Records().empty());
}

// In a shared sticky directory the other user's reads create no file (a -wal or
// -shm file of its own would fail every later write of the owner).
TEST_F(PlatformInfoTest, ReaderOfAnotherUserCreatesNoFileAndTheOwnerKeepsWriting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  constexpr uid_t kOwner = 64101, kReader = 64102;
  const std::string shared = SharedDir();
  ZRPlatformInfo::SetStorePath(shared + "/platform.db");
  const auto write = [](const char* v) { return [v] { return Set("S", "n", v) == 1; }; };
  const auto read = [](const char* v) { return [v] { return Get("S", "n") == v; }; };
  // The owner's store and the lock file its first write made.
  const std::vector<std::string> owned{"platform.db", "platform.db-lock"};
  EXPECT_TRUE(RunAs(kOwner, write("first")));
  EXPECT_EQ(NamesIn(shared), owned);
  EXPECT_TRUE(RunAs(kReader, read("first")));
  EXPECT_EQ(NamesIn(shared), owned) << "the reader left files behind";
  EXPECT_TRUE(RunAs(kOwner, write("second"))) << "the owner is locked out";
  EXPECT_TRUE(RunAs(kReader, read("second")));
}

TEST_F(PlatformInfoTest, ObjectKeepsThePathItWasBuiltWithAndAPathLikeAUriIsLiteral) {
  ZRPlatformInfo early;
  ZRPlatformInfo::SetStorePath(m_dir.Path("other/platform.db"));
  ASSERT_EQ(early.setString("S", "n", "first", 5), 1);
  ASSERT_EQ(Set("S", "n", "second"), 1);
  EXPECT_EQ(Get("S", "n"), "second");
  ZRPlatformInfo::SetStorePath(m_store);
  EXPECT_EQ(Get("S", "n"), "first");

  const fs::path cwd = fs::current_path();
  fs::current_path(m_dir.path());
  const std::string literal = "file:" + m_dir.Path("uri") + "/y.db";
  ZRPlatformInfo::SetStorePath(literal);
  EXPECT_EQ(Set("S", "n", "v"), 1);
  EXPECT_EQ(Get("S", "n"), "v");
  EXPECT_TRUE(fs::is_regular_file(m_dir.Path(literal)));
  EXPECT_FALSE(fs::exists(m_dir.Path("uri"))) << "the path was taken for a URI";
  fs::current_path(cwd);
  EXPECT_TRUE(m_sink->Records().empty());
}

TEST_F(PlatformInfoTest, UnusableStoreFailsWithOneReportPerCallAndIsLeftAsItWas) {
  std::string foreign = "This is not a database.\n";
  for (int i = 0; i < 5000; ++i) foreign.push_back(static_cast<char>(i * 7));
  WriteFile(m_dir.Path("blocker"), "x");  // a file where a directory should be: fails even for root
  WriteFile(m_dir.Path("notes.txt"), foreign);
  WriteFile(m_dir.Path("tiny"), "SQL");  // shorter than the database header
  ASSERT_TRUE(fs::create_directory(m_dir.Path("adir")));
  for (const char* path : {"blocker/sub/platform.db", "adir", "notes.txt", "tiny"}) {
    SCOPED_TRACE(path);
    ZRPlatformInfo::SetStorePath(m_dir.Path(path));
    m_sink->Clear();
    ZRPlatformInfo store;
    std::string value = "unchanged";
    EXPECT_EQ(store.getString("S", "n", &value), 0);
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(m_sink->Records().size(), 1u);
    EXPECT_EQ(store.setString("S", "n", "v", 1), 0);
    ExpectErrors(m_sink, 2, {m_dir.Path(path)});
  }
  EXPECT_EQ(ReadFile(m_dir.Path("blocker")), "x");
  EXPECT_EQ(ReadFile(m_dir.Path("notes.txt")), foreign);
  EXPECT_EQ(ReadFile(m_dir.Path("tiny")), "SQL");
  EXPECT_TRUE(fs::is_empty(m_dir.Path("adir")));
  // No journal or WAL files next to them.
  EXPECT_EQ(NamesIn(m_dir.path()),
            (std::vector<std::string>{"adir", "blocker", "notes.txt", "tiny"}));

  // A device is no store either (/dev/null would read as an empty database).
  ZRPlatformInfo::SetStorePath("/dev/null");
  m_sink->Clear();
  EXPECT_EQ(Get("S", "n"), "<absent>");
  EXPECT_EQ(m_sink->Records().size(), 1u);

  // A failed open is retried by the next call on the same object.
  ZRPlatformInfo::SetStorePath(m_dir.Path("blocker/platform.db"));
  m_sink->Clear();
  ZRPlatformInfo store;
  EXPECT_EQ(store.setString("S", "n", "v", 1), 0);
  fs::remove(m_dir.Path("blocker"));
  EXPECT_EQ(store.setString("S", "n", "v", 1), 1);
  EXPECT_EQ(Get("S", "n"), "v");
  EXPECT_EQ(m_sink->Records().size(), 1u);
}

}  // namespace
