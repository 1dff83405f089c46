#include "ZrScsiUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <locale>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <zrperf/framework/ErrorUtil.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

namespace fs = std::filesystem;
using Values = std::vector<std::string>;
using zrperf_test::ScopedSink;
using zrperf_test::TempDir;

const char kFunction[] =
    "static CKyError ZrScsiUtils::GetCommaSeperatedValues(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
// Stat() calls it a regular file; reading it at offset 0 fails with EIO.
const char kUnreadable[] = "/proc/self/mem";

std::string RetryWarning(const std::string& path, int attempt) {
  return "EOF did not reach while reading comma seperated pre-init target list from file " + path +
         ". Retrying (attempt - " + std::to_string(attempt) + ")";
}

void ExpectReadError(const CKyError& err, int line, const std::string& message) {
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(err.GetResult(), FXErrorUtil::ResultFromWin32(774));
  ASSERT_TRUE(err.GetDetail());
  const FXErrorPrivate& d = *err.GetDetail();
  EXPECT_EQ(std::make_tuple(d.GetCode(), d.GetMessage(), d.GetFile(), d.GetFunction(), d.GetLine()),
            std::make_tuple(774u, message, "ZrScsiUtils.cpp", kFunction, line));
}

// Classifies 'x' as space in addition to the classic set.
struct XIsSpace : std::ctype<char> {
  XIsSpace() : std::ctype<char>(Table(), /*del=*/true) {}
  static mask* Table() {
    mask* t = new mask[table_size];
    std::copy_n(classic_table(), table_size, t);
    t[static_cast<unsigned char>('x')] |= space;
    return t;
  }
};

// The trim follows the global locale at the time of the read.
TEST(ZrScsiUtils, CommasSeparateFieldsAndOnlyFieldEndsAreTrimmed) {
  const std::pair<std::string, Values> cases[] = {
      {"", {}},
      {"a,,b", {"a", "", "b"}},
      {" a , b ,c\n", {"a", "b", "c"}},
      {"a,b,", {"a", "b"}},
      {"a,b,\n", {"a", "b", ""}},
      {",", {""}},
      {"x,a\nb,y", {"x", "a\nb", "y"}},
      {"a,b\nc,d\n", {"a", "b\nc", "d"}},
      {" \t\r\n a  b \r\n\v\f,\nc\n", {"a  b", "c"}},
      {std::string("a\0b,c", 5), {std::string("a\0b", 3), "c"}},
      {"xax, xbxcx ", {"xax", "xbxcx"}},
  };
  ScopedSink sink;
  TempDir dir{"zrscsi"};
  for (const auto& [text, fields] : cases) {
    Values values{"stale", "entries"};
    EXPECT_FALSE(ZrScsiUtils::GetCommaSeperatedValues(dir.Write("list", text), values).IsError());
    EXPECT_EQ(values, fields) << "file text: '" << text << "'";
  }
  // A path that names no regular file: success at once, values untouched.
  // Devices included: /dev/null reads as empty and /dev/zero never ends.
  const std::string fifo = dir.Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.Path("missing"), dir.path(), std::string(), fifo,
                                  std::string("/dev/null"), std::string("/dev/zero")}) {
    Values values{"kept"};
    EXPECT_FALSE(ZrScsiUtils::GetCommaSeperatedValues(path, values).IsError()) << path;
    EXPECT_EQ(values, Values{"kept"});
  }
  EXPECT_TRUE(sink->Records().empty());

  Values values;
  const std::locale previous = std::locale::global(std::locale(std::locale(), new XIsSpace));
  ASSERT_FALSE(
      ZrScsiUtils::GetCommaSeperatedValues(dir.Write("list", "xax, xbxcx "), values).IsError());
  std::locale::global(previous);
  EXPECT_EQ(values, (Values{"a", "bxc"}));
}

// The descriptor open while the reader reports its retry warnings must not
// leak into a process that the sink or another thread starts.
TEST(ZrScsiUtils, UnreadableFileWarnsOnEachAttemptAndFailsUnlessARetryReadsOrTheSinkThrows) {
  const std::string failed = "Failed to read complete list of comma seperated values from file [" +
                             std::string(kUnreadable) + "]";
  Values values{"kept"};
  ScopedSink sink;
  sink->SetLevel(-2);  // the warning is sent whatever the sink's level
  int open = 0, leaking = 0;
  sink->onRecord = [&] {
    for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (fs::read_symlink(e.path(), ec).filename() != "mem") continue;
      ++open;
      leaking += (::fcntl(std::stoi(e.path().filename().string()), F_GETFD) & FD_CLOEXEC) ? 0 : 1;
    }
  };
  ExpectReadError(ZrScsiUtils::GetCommaSeperatedValues(kUnreadable, values), 48, failed);
  EXPECT_EQ(values, Values{"kept"});
  EXPECT_GT(open, 0);
  EXPECT_EQ(leaking, 0);
  const std::vector<zrperf_test::Record> records = sink->Records();
  ASSERT_EQ(records.size(), 3u);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const zrperf_test::Record& r = records[attempt];
    EXPECT_EQ(std::tie(r.level, r.function, r.line, r.message),
              std::make_tuple(-1, kFunction, 37, RetryWarning(kUnreadable, attempt)));
  }

  TempDir dir{"zrscsi"};
  const std::string good = dir.Write("good", "a, b");
  const std::string link = dir.Path("list");
  fs::create_symlink(kUnreadable, link);
  sink->Clear();
  sink->onRecord = [&] {  // point the list at a readable file before the retry
    fs::remove(link);
    fs::create_symlink(good, link);
  };
  values.clear();
  EXPECT_FALSE(ZrScsiUtils::GetCommaSeperatedValues(link, values).IsError());
  EXPECT_EQ(values, (Values{"a", "b"}));
  ASSERT_EQ(sink->Records().size(), 1u);
  EXPECT_EQ(sink->Records()[0].message, RetryWarning(link, 0));

  sink->onRecord = [] { throw std::runtime_error("sink is down"); };
  values = {"kept"};
  ExpectReadError(ZrScsiUtils::GetCommaSeperatedValues(kUnreadable, values), 53,
                  "Exception [sink is down] while reading comma seperated values from file [" +
                      std::string(kUnreadable) + "]");
  EXPECT_EQ(values, Values{"kept"});

  sink->onRecord = [] { throw 42; };  // not a std::exception: passes to the caller
  EXPECT_THROW(ZrScsiUtils::GetCommaSeperatedValues(kUnreadable, values), int);
  EXPECT_EQ(values, Values{"kept"});
}

// Reads of good and unreadable files at once do not interfere. A FIFO
// exchanged with the list (renameat2 RENAME_EXCHANGE) while reads run must
// never hold a reader: each read ends with the file's fields or as an empty
// request. A watchdog turns a hang into a failure.
TEST(ZrScsiUtils, ConcurrentReadsDoNotInterfereAndAFifoSwappedInNeverBlocks) {
  TempDir dir{"zrscsi"};
  const std::string list = dir.Write("list", "one, two,\nthree");
  const Values expected{"one", "two", "three"};
  ScopedSink sink;
  constexpr int kThreads = 8;
  constexpr int kIterations = 200;
  std::atomic<int> wrong{0};
  zrperf_test::RunTogether(kThreads, [&](int t) {
    for (int i = 0; i < kIterations; ++i) {
      Values values;
      const bool bad = (i + t) % 4 == 0;
      const bool failed =
          ZrScsiUtils::GetCommaSeperatedValues(bad ? kUnreadable : list, values).IsError();
      if (failed != bad || values != (bad ? Values{} : expected)) ++wrong;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(sink->Records().size(), 3u * kThreads * kIterations / 4);

  const std::string fifo = dir.Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  if (::renameat2(AT_FDCWD, list.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE) != 0) {
    GTEST_SKIP() << "no RENAME_EXCHANGE here: " << std::strerror(errno);
  }
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load())
      ::renameat2(AT_FDCWD, list.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
  });
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread reader([&] {
    // Two seconds of reads: a reader that checks the path and then opens it
    // again by name is caught in that gap well within them.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end && !stop.load()) {
      Values values;
      const bool failed = ZrScsiUtils::GetCommaSeperatedValues(list, values).IsError();
      if (failed || !(values.empty() || values == expected)) ++wrong;
    }
    done.set_value();
  });
  const bool inTime = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  stop.store(true);
  swapper.join();
  // A reader stuck in open() on the FIFO goes on once the FIFO has a writer.
  while (finished.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    for (const std::string& path : {list, fifo}) {
      const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }
  reader.join();
  EXPECT_TRUE(inTime) << "a read blocked on the FIFO";
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

TEST(ZrScsiUtils, AnyOneFailedFileCallIsRetriedAndNeverGivesPartOfTheList) {
  TempDir dir("zrcsvf");
  std::string text;
  Values expected;
  for (int i = 0; i < 20000; ++i) {  // past one read of the reader's 64 KiB buffer
    expected.push_back("lun" + std::to_string(i));
    text += (i ? "," : "") + expected.back();
  }
  const std::string path = dir.Write("list.csv", text);
  ScopedSink sink(0);
  zrperf_test::FaultyFiles files(dir.path());
  for (const zrperf_test::FileFault fault : zrperf_test::kReturnedFaults) {
    const long walked = zrperf_test::WalkFaults(
        files, fault,
        [&] {
          sink->Clear();
          Values values;
          return !ZrScsiUtils::GetCommaSeperatedValues(path, values).IsError() &&
                 values == expected;
        },
        [&](long n, bool ok) {
          EXPECT_TRUE(ok) << FaultName(fault) << " at call " << n;
          // A short or interrupted read is read on, a failed close is of no
          // matter; any other failure costs one attempt, with its warning.
          using zrperf_test::FileFault;
          const bool quiet = fault == FileFault::kShortWrite || n == 6 ||
                             (fault == FileFault::kInterrupt && n != 1);
          EXPECT_EQ(sink->Records().size(), quiet ? 0u : 1u) << FaultName(fault) << " at " << n;
        });
    // The open, four reads (the last finds the end), the close.
    EXPECT_EQ(walked, 6) << FaultName(fault);
  }
}

}  // namespace
