#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FaultCause.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>
#include "LogWriterInterface.h"
#include "SpdlogLogWriter.h"

namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zrperf_test::ReadFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The "YYYY-MM-DD HH:MM:SS.mmm " that opens every line of a record.
constexpr size_t kStampSize = 24;
const char kStamp[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";

std::string ProcessAndThread() {
  return "[" + std::to_string(::getpid()) + ":" + std::to_string(::syscall(SYS_gettid)) + "]";
}

class SpdlogLogWriterTest : public ::testing::Test {
 protected:
  zrperf_test::TempDir m_dir{"zrfw-log"};
};

TEST(LogWriter, FormatsPrintfStyleMessagesOfAnyLength) {
  zrperf_test::CapturingSink sink;
  sink.WriteLog(-1, "void F()", 57, 0, 0, "%s|%d%%", "100% %d %s %n {}", 7);  // stays literal
  std::vector<zrperf_test::Record> records = sink.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::tie(records[0].level, records[0].function, records[0].line, records[0].message),
            std::make_tuple(-1, "void F()", 57, "100% %d %s %n {}|7%"));

  // Around the size of the stack buffer, and well past 64 KiB.
  for (size_t size : {510u, 511u, 512u, 513u, 1000u, 70000u, 300000u}) {
    std::string arg;
    for (size_t i = 0; i < size; ++i) arg.push_back(static_cast<char>('a' + i % 26));
    sink.Clear();
    sink.WriteLog(0, "f", 1, 0, 0, "<%s>%d", arg.c_str(), 42);
    records = sink.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "<" + arg + ">42") << "size " << size;
  }
}

TEST_F(SpdlogLogWriterTest, WritesTheDocumentedLineForEachLevelAndTheMessageAsItIs) {
  const std::string path = m_dir.Path("zr.log");
  const std::string stats = "Exec Stats: \n\t\t\t\tname: 3 samples\n\t\t\t\tother: {} %d \\n";
  const boost::shared_ptr<CSpdlogLogWriter> writer =
      CSpdlogLogWriter::CreateRotatingFile(path, 1 << 20, 2);
  writer->WriteLog(-3, "int G(int)", 1, 0, 0, "m%d", -3);
  writer->WriteLog(-2, "int G(int)", 1, 0, 0, "m%d", -2);
  writer->WriteLog(-1, "void CPerfCounters::Log()", 39, 0, 0, "Exec Stats: %s", "x");
  writer->WriteLog(0, "f", 2, 0, 0, "m0");
  writer->WriteLog(1, "f", 3, 0, 0, "m1");
  writer->WriteLog(7, nullptr, 4, 0, 0, "m7");
  writer->WriteLog(0, "void CPerfCounters::Log()", 39, 0, 0, "%s", stats.c_str());
  // No Flush(): a level 0 record is on disk, after the debug ones, when WriteLog returns.
  const std::string ids = ProcessAndThread();
  const std::vector<std::string> expected = {
      "[critical] " + ids + " [int G(int):1] m-3",
      "[critical] " + ids + " [int G(int):1] m-2",
      "[error] " + ids + " [void CPerfCounters::Log():39] Exec Stats: x",
      "[info] " + ids + " [f:2] m0",
      "[debug] " + ids + " [f:3] m1",
      "[debug] " + ids + " [:4] m7",
      "[info] " + ids + " [void CPerfCounters::Log():39] Exec Stats: ",
  };
  const std::string text = ReadFile(path);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), expected.size() + 2) << text;  // the last record spans three lines
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_THAT(lines[i].substr(0, kStampSize), ::testing::MatchesRegex(kStamp));
    EXPECT_EQ(lines[i].substr(kStampSize), expected[i]);
  }
  EXPECT_THAT(text, ::testing::EndsWith("[void CPerfCounters::Log():39] " + stats + "\n"));
  EXPECT_EQ(writer->GetWriteErrorCount(), 0u);
}

TEST_F(SpdlogLogWriterTest, RotatingFileRotatesAndKeepsTheNewestRecords) {
  const std::string path = m_dir.Path("svc.log");
  {
    const boost::shared_ptr<CSpdlogLogWriter> writer =
        CSpdlogLogWriter::CreateRotatingFile(path, 1000, 3);
    EXPECT_FALSE(writer->IsFallback());
    for (int i = 0; i < 200; ++i) writer->WriteLog(0, "f", 1, 0, 0, "record %04d", i);
  }
  for (const char* name : {"svc.log", "svc.1.log", "svc.2.log", "svc.3.log"}) {
    ASSERT_TRUE(fs::exists(m_dir.Path(name))) << name;
    EXPECT_LE(fs::file_size(m_dir.Path(name)), 1000u) << name;
  }
  EXPECT_FALSE(fs::exists(m_dir.Path("svc.4.log")));
  EXPECT_THAT(ReadFile(path), ::testing::EndsWith("] [f:1] record 0199\n"));
}

// Debug records (level 1) are buffered and must reach the file when the sink goes.
TEST_F(SpdlogLogWriterTest, ThreadsWritingAtOnceNeverInterleaveLines) {
  const std::string path = m_dir.Path("mt.log");
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  {
    const boost::shared_ptr<CSpdlogLogWriter> writer =
        CSpdlogLogWriter::CreateRotatingFile(path, 64 << 20, 1);
    zrperf_test::RunTogether(kThreads, [&](int t) {
      for (int i = 0; i < kRecords; ++i) {
        writer->WriteLog(i % 3 - 1, "worker", t, 0, 0, "thread %d record %d end", t, i);
        if (i % 100 == 0) writer->SetLogLevel(i);
      }
    });
  }
  const std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  // Every line is one whole record: its own thread's prefix and text, its end.
  std::vector<int> perThread(kThreads, 0);
  for (const std::string& l : lines) {
    ASSERT_EQ(l.substr(l.size() - 4), " end") << l;
    for (int t = 0; t < kThreads; ++t) {
      const std::string me = std::to_string(t);
      perThread[t] +=
          l.find("] [worker:" + me + "] thread " + me + " record ") != std::string::npos;
    }
  }
  for (int count : perThread) EXPECT_EQ(count, kRecords);
}

// Without a listener on the syslog socket syslog(3) drops every record: that
// sink falls back to standard error with one note, as the file sink does.
// Standard error is captured between CaptureStderr() and GetCapturedStderr();
// nothing in between may end the test early.
TEST_F(SpdlogLogWriterTest, StandardErrorTakesTheRecordsAlsoWhenTheFileOrSyslogCannotBeOpened) {
  const std::string socketPath = m_dir.Path("log");
  const int listener = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_FALSE(
      CSpdlogLogWriter::CreateSyslog("zrperf-test", CSpdlogLogWriter::kSyslogUser, socketPath)
          ->IsFallback());
  ::close(listener);

  zrperf_test::WriteFile(m_dir.Path("file"), "");  // a file where a directory should be
  const std::string unopenable = m_dir.Path("file/sub/x.log");
  const std::string missing = m_dir.Path("no-listener");
  CaptureStderr();
  CSpdlogLogWriter::CreateStderr()->WriteLog(-1, "void H()", 9, 0, 0, "to %s", "stderr");
  boost::shared_ptr<CSpdlogLogWriter> writer;
  EXPECT_NO_THROW(writer = CSpdlogLogWriter::CreateRotatingFile(unopenable, 1000, 1));
  const bool fileFallback = writer && writer->IsFallback();
  if (writer) {
    EXPECT_NO_THROW(writer->WriteLog(-1, "f", 1, 0, 0, "kept %d", 1));
  }
  writer = CSpdlogLogWriter::CreateSyslog("zrperf-test", CSpdlogLogWriter::kSyslogUser, missing);
  const bool syslogFallback = writer->IsFallback();
  writer->WriteLog(-1, "f", 2, 0, 0, "kept %d", 2);
  writer.reset();
  const std::string text = GetCapturedStderr();
  EXPECT_TRUE(fileFallback);
  EXPECT_TRUE(syslogFallback);
  EXPECT_EQ(Lines(text).size(), 5u) << text;  // one note per sink, and the three records
  for (const std::string& part :
       {"[error] " + ProcessAndThread() + " [void H():9] to stderr\n",
        "cannot open log file " + unopenable, std::string("[f:1] kept 1\n"),
        "cannot open syslog: no listener at " + missing, std::string("[f:2] kept 2\n")}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
  }
}

// What is at the log file's path is looked at without blocking before the
// file is opened: a FIFO without a reader (whose open for writing would wait
// for one for good), a FIFO with one, a socket or a directory makes the sink
// fall back to standard error with a note; a character device is taken.
TEST_F(SpdlogLogWriterTest, ALogPathThatIsNoFileFallsBackWithoutBlocking) {
  const std::string fifo = m_dir.Path("fifo.log");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socketPath = m_dir.Path("socket.log");
  const int listener = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  int reader = -1;
  // Each path, and why it is refused ("" where it is taken).
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "a FIFO or socket with no reader"},
      {fifo, "neither a regular file nor a character device"},  // now with a reader
      {socketPath, "a FIFO or socket with no reader"},
      {m_dir.path(), "Is a directory"},
      {"/dev/null", ""}};
  for (const auto& [path, why] : cases) {
    SCOPED_TRACE(path + (reader >= 0 ? " with a reader" : ""));
    CaptureStderr();
    std::future<bool> fellBack = std::async(std::launch::async, [&target = path] {
      return CSpdlogLogWriter::CreateRotatingFile(target, 1 << 20, 1)->IsFallback();
    });
    const bool returned = fellBack.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    // A sink held in its open is let go by a reader, so the test can end.
    const int rescue = returned ? -1 : ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const bool fallback = fellBack.get();
    const std::string text = GetCapturedStderr();
    if (rescue >= 0) ::close(rescue);
    EXPECT_TRUE(returned) << "the sink's creation blocked";
    EXPECT_EQ(fallback, !why.empty());
    EXPECT_EQ(text.find("cannot open log file " + path + ": " + why) != std::string::npos,
              !why.empty())
        << text;
    if (path == fifo && reader < 0) reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  }
  ::close(reader);
  ::close(listener);
}

// Each returned fault at each file call of the sink's look at its path: an
// interruption is retried, a failed open makes the sink fall back with its
// cause, a failed close loses nothing.
TEST_F(SpdlogLogWriterTest, UnderEveryFaultTheLookAtTheLogPathFallsBackWithItsCauseOrPasses) {
  const std::string path = m_dir.Write("svc.log", "");
  zrperf_test::FaultyFiles files(m_dir.path());
  for (const zrperf_test::FileFault fault : zrperf_test::kReturnedFaults) {
    const bool fails =
        fault != zrperf_test::FileFault::kInterrupt && fault != zrperf_test::FileFault::kShortWrite;
    CaptureStderr();
    const long walked = zrperf_test::WalkFaults(
        files, fault,
        [&] { return !CSpdlogLogWriter::CreateRotatingFile(path, 1 << 20, 1)->IsFallback(); },
        [&](long n, bool ok) { EXPECT_EQ(ok, !(fails && n == 1)) << FaultName(fault) << n; });
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(walked, 2) << FaultName(fault);  // the open and the close
    const std::string cause = zrperf_test::FaultCause(fault);
    EXPECT_EQ(text.find("cannot open log file " + path + ": " + cause) != std::string::npos, fails)
        << text;
  }
}

TEST_F(SpdlogLogWriterTest, FailedWritesAreCountedNotThrown) {
  CaptureStderr();
  // /dev/full accepts the open and fails every write with ENOSPC. A character
  // device reports size 0, so the sink never tries to rotate (rename) it.
  const boost::shared_ptr<CSpdlogLogWriter> writer =
      CSpdlogLogWriter::CreateRotatingFile("/dev/full", 1 << 30, 1);
  EXPECT_FALSE(writer->IsFallback());
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(writer->WriteLog(-1, "f", 1, 0, 0, "lost %d", i));
  EXPECT_NO_THROW(writer->Flush());
  EXPECT_EQ(Lines(GetCapturedStderr()).size(), 1u) << "one note on standard error, not one each";
  EXPECT_GE(writer->GetWriteErrorCount(), 3u);
}

}  // namespace
