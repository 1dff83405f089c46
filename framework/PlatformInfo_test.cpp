#include "PlatformInfo.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/CapturingSink.h"
#include "../tests/support/TempDir.h"
#include "LogWriterInterface.h"

namespace {

namespace fs = std::filesystem;
using zrperf_test::CapturingSink;

using zrperf_test::ReadFile;
using zrperf_test::WriteFile;

int Set(const std::string& section, const std::string& name, const std::string& value) {
  ZRPlatformInfo store;
  return store.setString(section.c_str(), name.c_str(), value.data(),
                         static_cast<int>(value.size()));
}

// Returns the value, or "<absent>" when getString reports none.
std::string Get(const std::string& section, const std::string& name) {
  ZRPlatformInfo store;
  std::string value;
  return store.getString(section.c_str(), name.c_str(), &value) ? value : "<absent>";
}

// Waits for a child process; true when it exited with status 0.
bool ExitedCleanly(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Each test gets its own directory and a store inside a subdirectory that
// does not exist yet, and a capturing sink in g_ptrLogWriter.
class PlatformInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_store = m_dir + "/state/platform.db";
    ZRPlatformInfo::SetStorePath(m_store);
    m_sink = boost::make_shared<CapturingSink>(0);
    g_ptrLogWriter = m_sink;
  }
  void TearDown() override {
    g_ptrLogWriter.reset();
    ZRPlatformInfo::SetStorePath(ZRPlatformInfo::kDefaultStorePath);
  }

  // Calls getString and setString once each against the current store path
  // and checks that both fail with one level -1 record apiece.
  void ExpectBothCallsFailWithOneReportEach() {
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
      EXPECT_NE(r.message.find(ZRPlatformInfo::GetStorePath()), std::string::npos) << r.message;
    }
  }

  zrperf_test::TempDir m_tmp{"zrfw-store"};
  const std::string m_dir = m_tmp.path();
  std::string m_store;
  boost::shared_ptr<CapturingSink> m_sink;
};

TEST_F(PlatformInfoTest, RoundTripsArbitraryBytes) {
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  const std::string withNul("ab\0cd\n\tef\0", 10);
  const std::string large(200000, '\xA5');

  ASSERT_EQ(Set("Bytes", "every", every), 1);
  ASSERT_EQ(Set("Bytes", "nul", withNul), 1);
  ASSERT_EQ(Set("Bytes", "empty", ""), 1);
  ASSERT_EQ(Set("Bytes", "large", large), 1);

  EXPECT_EQ(Get("Bytes", "every"), every);
  EXPECT_EQ(Get("Bytes", "nul"), withNul);
  EXPECT_EQ(Get("Bytes", "large"), large);
  // An empty value exists and replaces whatever the caller's string held.
  ZRPlatformInfo store;
  std::string value = "previous";
  EXPECT_NE(store.getString("Bytes", "empty", &value), 0);
  EXPECT_EQ(value, "");
  EXPECT_TRUE(m_sink->Records().empty());
}

TEST_F(PlatformInfoTest, AbsentSettingReturnsZeroAndLeavesValue) {
  ZRPlatformInfo store;
  std::string value = "keep";
  EXPECT_EQ(store.getString("Drovane", "missing", &value), 0);
  EXPECT_EQ(value, "keep");
  ASSERT_EQ(store.setString("Drovane", "present", "x", 1), 1);
  EXPECT_EQ(store.getString("Drovane", "missing", &value), 0);
  EXPECT_EQ(value, "keep");
  EXPECT_TRUE(m_sink->Records().empty());
}

TEST_F(PlatformInfoTest, OverwriteReplacesTheWholeValue) {
  ZRPlatformInfo store;
  ASSERT_EQ(store.setString("S", "n", "a long first value", 18), 1);
  ASSERT_EQ(store.setString("S", "n", "short", 5), 1);
  std::string value;
  ASSERT_NE(store.getString("S", "n", &value), 0);
  EXPECT_EQ(value, "short");
  // Only the first `length` bytes are stored.
  ASSERT_EQ(store.setString("S", "n", "truncated", 4), 1);
  EXPECT_EQ(Get("S", "n"), "trun");
}

TEST_F(PlatformInfoTest, SectionsAndNamesAreIndependentCaseSensitiveKeys) {
  ASSERT_EQ(Set("A", "x", "A.x"), 1);
  ASSERT_EQ(Set("B", "x", "B.x"), 1);
  ASSERT_EQ(Set("A", "y", "A.y"), 1);
  ASSERT_EQ(Set("a", "x", "a.x"), 1);
  ASSERT_EQ(Set("A", "X", "A.X"), 1);
  // A key that concatenates to the same text as another stays distinct.
  ASSERT_EQ(Set("Ax", "", "Ax."), 1);
  EXPECT_EQ(Get("A", "x"), "A.x");
  EXPECT_EQ(Get("B", "x"), "B.x");
  EXPECT_EQ(Get("A", "y"), "A.y");
  EXPECT_EQ(Get("a", "x"), "a.x");
  EXPECT_EQ(Get("A", "X"), "A.X");
  EXPECT_EQ(Get("Ax", ""), "Ax.");
  EXPECT_EQ(Get("B", "y"), "<absent>");
}

TEST_F(PlatformInfoTest, NullArgumentsAndNegativeLengthWriteNothing) {
  ZRPlatformInfo store;
  std::string value = "keep";
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

TEST_F(PlatformInfoTest, ObjectKeepsThePathItWasBuiltWith) {
  ZRPlatformInfo early;
  const std::string other = m_dir + "/other/platform.db";
  ZRPlatformInfo::SetStorePath(other);
  ASSERT_EQ(early.setString("S", "n", "first", 5), 1);
  ASSERT_EQ(Set("S", "n", "second"), 1);
  EXPECT_EQ(Get("S", "n"), "second");
  ZRPlatformInfo::SetStorePath(m_store);
  EXPECT_EQ(Get("S", "n"), "first");
}

TEST_F(PlatformInfoTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 20;
  std::atomic<int> ready{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ZRPlatformInfo store;  // one object per thread, opened concurrently
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        if (store.setString("Threads", name.c_str(), name.data(), static_cast<int>(name.size())) ==
            0) {
          failures.fetch_add(1);
        }
        // Setting the path races with the other threads' constructors reading it.
        if (t == 0) ZRPlatformInfo::SetStorePath(m_store);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
      EXPECT_EQ(Get("Threads", name), name);
    }
  }
  EXPECT_TRUE(m_sink->Records().empty());
}

TEST_F(PlatformInfoTest, ProcessesWritingAtOnceLoseNothing) {
  constexpr int kProcesses = 3;
  constexpr int kWrites = 20;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // All children open the not-yet-existing store the moment the pipe closes.
      ::close(go[1]);
      char c;
      while (::read(go[0], &c, 1) > 0) {
      }
      int failed = 0;
      for (int i = 0; i < kWrites; ++i) {
        ZRPlatformInfo store;
        const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
        failed += store.setString("Procs", name.c_str(), name.data(), static_cast<int>(name.size()))
                      ? 0
                      : 1;
        failed +=
            store.setString("Procs", "shared", name.data(), static_cast<int>(name.size())) ? 0 : 1;
      }
      ::_exit(failed == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) EXPECT_TRUE(ExitedCleanly(pid));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
      EXPECT_EQ(Get("Procs", name), name);
    }
  }
  // The shared setting holds the last write of one of the writers.
  const std::string shared = Get("Procs", "shared");
  EXPECT_EQ(shared.substr(shared.find('-')), "-" + std::to_string(kWrites - 1));
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
        if (i == 0) {
          const char c = 'k';
          if (::write(started[1], &c, 1) != 1) ::_exit(2);
        }
      }
    }
    ::close(started[1]);
    char c;
    ASSERT_EQ(::read(started[0], &c, 1), 1);
    ::close(started[0]);
    // Vary where in its loop the writer dies (the pipe already told us it runs).
    std::this_thread::sleep_for(std::chrono::microseconds((round * 5 % 12) * 700));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    const std::string after = Get("Kill", "value");
    EXPECT_TRUE(after == oldValue || after == newValue) << "round " << round;
    // The store stays writable after the crash.
    ASSERT_EQ(Set("Kill", "value", oldValue), 1);
    EXPECT_EQ(Get("Kill", "value"), oldValue);
  }
  EXPECT_TRUE(m_sink->Records().empty());
}

TEST_F(PlatformInfoTest, DirectoryThatCannotBeCreatedFailsWithOneReportPerCall) {
  // A regular file where a directory of the path should be: mkdir fails even for root.
  WriteFile(m_dir + "/blocker", "x");
  ZRPlatformInfo::SetStorePath(m_dir + "/blocker/sub/platform.db");
  ExpectBothCallsFailWithOneReportEach();
  EXPECT_EQ(ReadFile(m_dir + "/blocker"), "x");
}

TEST_F(PlatformInfoTest, PathThatIsADirectoryFailsWithOneReportPerCall) {
  ASSERT_TRUE(fs::create_directories(m_dir + "/adir"));
  ZRPlatformInfo::SetStorePath(m_dir + "/adir");
  ExpectBothCallsFailWithOneReportEach();
  EXPECT_TRUE(fs::is_empty(m_dir + "/adir"));
  // Without a sink the calls fail quietly.
  g_ptrLogWriter.reset();
  ZRPlatformInfo store;
  EXPECT_EQ(store.setString("S", "n", "v", 1), 0);
}

TEST_F(PlatformInfoTest, FileThatIsNotADatabaseIsLeftByteForByte) {
  const std::string path = m_dir + "/notes.txt";
  std::string content = "This is not a database.\n";
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i * 7));
  WriteFile(path, content);
  // A short foreign file, below the size of the database header.
  const std::string tiny = m_dir + "/tiny";
  WriteFile(tiny, "SQL");
  for (const std::string& p : {path, tiny}) {
    ZRPlatformInfo::SetStorePath(p);
    ExpectBothCallsFailWithOneReportEach();
  }
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(ReadFile(tiny), "SQL");
  // No journal or WAL files were created next to them.
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(m_dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"notes.txt", "tiny"}));
}

TEST_F(PlatformInfoTest, StoreBecomesUsableOnceThePathIsFixed) {
  // A failed open is retried by the next call on the same object.
  WriteFile(m_dir + "/late", "x");
  ZRPlatformInfo::SetStorePath(m_dir + "/late/platform.db");
  ZRPlatformInfo store;
  EXPECT_EQ(store.setString("S", "n", "v", 1), 0);
  fs::remove(m_dir + "/late");
  EXPECT_EQ(store.setString("S", "n", "v", 1), 1);
  EXPECT_EQ(Get("S", "n"), "v");
  EXPECT_EQ(m_sink->Records().size(), 1u);
}

}  // namespace
