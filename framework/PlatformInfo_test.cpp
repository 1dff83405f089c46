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
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

namespace fs = std::filesystem;
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

// A VFS in front of SQLite's default one that counts what connections do to
// their files, to see the durability settings from outside: a rollback
// journal that is deleted after each commit, synced twice (synchronous=FULL;
// NORMAL syncs it once) before the database itself is synced. Each file is
// the default VFS's own; its methods are a copy whose sync counts.
struct FileEvents {
  int walOpens = 0, journalDeletes = 0, journalSyncs = 0, databaseSyncs = 0;
};
FileEvents g_events;
sqlite3_vfs* g_real = nullptr;
// Per methods table of the default VFS and kind of file (journal or not), the
// counting copy; and per copy, the table it copies.
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

// Two processes that write in a loop (each through one handle, so nothing
// between its writes lets another in) and four that read in a loop (two with a
// handle each, two with a fresh one per read) share the store for
// ZRPERF_STORE_LOAD_SECONDS (default 6; 90 for the long run): no call fails or
// waits a second, and neither writer gets under a quarter of the other's
// writes. SQLite's sleeping busy handler alone lets a looping writer starve
// the others.
TEST_F(PlatformInfoTest, LoopingWritersShareTheStoreFairlyAndNoCallStarves) {
  constexpr int kWriters = 2, kReaders = 4;
  const char* seconds = std::getenv("ZRPERF_STORE_LOAD_SECONDS");
  const auto duration = std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 6);
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
  EXPECT_GE(std::min(a, b) * 4, std::max(a, b)) << "a writer starved: " << a << " and " << b;
  EXPECT_LT(worstWriteUs, 1000000) << "a writer starved";
  EXPECT_LT(worstReadUs, 1000000) << "a reader starved";
  EXPECT_TRUE(m_sink->Records().empty());
}

// Kills the child (a stopped one too) and reaps it; true when the kill ended it.
bool EndChild(pid_t pid) {
  int status = 0;
  return ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status);
}

TEST_F(PlatformInfoTest, WriterKilledMidLoopLeavesOldOrNewValue) {
  // Values of many pages, so that a write takes long enough to be cut.
  const std::string oldValue(1 << 20, 'o');
  const std::string newValue(1 << 20, 'n');
  ASSERT_EQ(Set("Kill", "value", oldValue), 1);
  for (int round = 0; round < 12; ++round) {
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(started[0]);
      ZRPlatformInfo store;
      for (int i = 0;; ++i) {
        const std::string& v = (i % 2 == 0) ? newValue : oldValue;
        store.setString("Kill", "value", v.data(), static_cast<int>(v.size()));
        store.setString("Kill", "other", "x", 1);
        if (i == 0 && ::write(started[1], "k", 1) != 1) ::_exit(2);
      }
    }
    ::close(started[1]);
    char c;
    ASSERT_EQ(::read(started[0], &c, 1), 1);
    ::close(started[0]);
    // Vary where in its loop the writer dies (the pipe already told us it runs).
    std::this_thread::sleep_for(std::chrono::microseconds((round * 5 % 12) * 700));
    ASSERT_TRUE(EndChild(pid));

    const std::string after = Get("Kill", "value");
    EXPECT_TRUE(after == oldValue || after == newValue) << "round " << round;
    EXPECT_EQ(IntegrityCheck(m_store), "ok") << "round " << round;
    // The store stays writable after the crash.
    ASSERT_EQ(Set("Kill", "value", oldValue), 1);
    EXPECT_EQ(Get("Kill", "value"), oldValue);
  }
  EXPECT_TRUE(m_sink->Records().empty());
}

// Holds the room of the turnstile of the store at `store` in a child process
// that waits for good: shared, as any process that can read the lock file
// may, or exclusive and then stopped, as a writer stopped inside a call.
// Returns the child's pid once it holds the byte, -1 when it could not.
pid_t HoldRoom(const std::string& store, bool exclusive, uid_t as = 0) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (as != 0 && (::setresgid(as, as, as) != 0 || ::setresuid(as, as, as) != 0)) ::_exit(1);
    const int fd = ::open((store + "-lock").c_str(), exclusive ? O_RDWR : O_RDONLY);
    // The room: byte 1.
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

// A process that keeps the room (a reader that holds its shared turn for good,
// a writer stopped inside a call) costs each waiting call the store's busy
// budget of 30 s, then the call fails as on a busy database; a reader still
// shares a reader's turn.
TEST_F(PlatformInfoTest, TurnHeldForGoodFailsTheWaitingCallsAfterTheBusyBudget) {
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
  // A reader shares the holder's turn. (Asked before the writers below: a
  // writer waiting at the door keeps later readers out, so that writers are
  // not starved.)
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
    seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i], 0) << i;
    // The budget, not a speed: a call gives up neither before it nor long after.
    EXPECT_GE(seconds[i], 30.0) << i;
    EXPECT_LT(seconds[i], 40.0) << i;
  }
  const std::vector<zrperf_test::Record> records = m_sink->Records();
  ASSERT_EQ(records.size(), 3u);
  for (const zrperf_test::Record& r : records) {
    EXPECT_EQ(r.level, -1);
    EXPECT_NE(r.message.find("database is locked (no turn in "), std::string::npos) << r.message;
  }
  EndChild(reader);
  EndChild(writer);
  for (const std::string& store : {held, stopped}) {
    ZRPlatformInfo::SetStorePath(store);
    EXPECT_EQ(Get("S", "n"), "before");
    EXPECT_EQ(Set("S", "n", "after"), 1);
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// The lock file gives no one more than the store does: it is created with the
// store's bits, narrowed when the store was made private after it, and not
// used when it cannot be (another user's file, a link, a FIFO).
TEST_F(PlatformInfoTest, LockFileIsNeverMoreOpenThanTheStore) {
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

  // A link, a second name or a FIFO in the lock file's place is not used (nor
  // is a link's target touched) and holds no caller.
  const std::string target = m_dir.Write("target", "t");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  for (int kind = 0; kind < 3; ++kind) {
    fs::remove(lock);
    ASSERT_EQ(kind == 0   ? ::symlink(target.c_str(), lock.c_str())
              : kind == 1 ? ::link(target.c_str(), lock.c_str())
                          : ::mkfifo(lock.c_str(), 0600),
              0);
    EXPECT_EQ(Get("S", "n"), std::string(1, "wxy"[kind])) << kind;
    EXPECT_EQ(Set("S", "n", std::string(1, "xyz"[kind])), 1) << kind;
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

// Two users share a store in a sticky directory: the owner writes, the other
// user reads. The reader must create no file there (a -wal/-shm file of its
// own would make every later write of the owner fail).
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
    const std::vector<zrperf_test::Record> records = m_sink->Records();
    ASSERT_EQ(records.size(), 2u);
    for (const zrperf_test::Record& r : records) {
      EXPECT_EQ(r.level, -1);
      EXPECT_NE(r.message.find(m_dir.Path(path)), std::string::npos) << r.message;
    }
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
