// Test support: file faults injected through the library's file seam
// (zrfw::CFileSystem), the way storage code tests itself: fail the Nth call
// of an operation, for every N, with each kind of fault; or kill the process
// at the Nth call.
//
//   zrperf_test::FaultyFiles files(dir.path());  // installed until it goes
//   const long walked = zrperf_test::WalkFaults(files, FileFault::kNoSpace,
//       [&] { return writer.Write(); },           // one operation
//       [&](long n, bool ok) { ...checks... });   // after each N
//
// Only calls on paths under the given prefix, and on descriptors of files
// under it (whoever opened them, and when), are counted and failed: the
// test's own files, the sink's and the runtime's are left alone.
//
// Thread-safety: the overrides are safe from any thread (the operation under
// test may run its own). Arm() and the counters are for the test's thread.

#ifndef ZRPERF_TESTS_SUPPORT_FILEFAULTS_H_
#define ZRPERF_TESTS_SUPPORT_FILEFAULTS_H_

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <zrperf/framework/FileSystem.h>

namespace zrperf_test {

enum class FileFault {
  kNoSpace,     // ENOSPC: a full disk
  kIo,          // EIO: a failing device
  kInterrupt,   // EINTR: a signal during the call
  kFileSize,    // EFBIG: RLIMIT_FSIZE reached (SIGXFSZ ignored)
  kShortWrite,  // a write (or read) that moves half its bytes
  kDiskFull,    // the disk fills: that write moves half, every later one ENOSPC
  kKill,        // SIGKILL before the call takes effect
};

// Every fault but the kill, which only a child process can take.
constexpr FileFault kReturnedFaults[] = {FileFault::kNoSpace, FileFault::kIo, FileFault::kInterrupt,
                                         FileFault::kFileSize, FileFault::kShortWrite};

inline const char* FaultName(FileFault fault) {
  switch (fault) {
    case FileFault::kNoSpace:
      return "ENOSPC";
    case FileFault::kIo:
      return "EIO";
    case FileFault::kInterrupt:
      return "EINTR";
    case FileFault::kFileSize:
      return "EFBIG";
    case FileFault::kShortWrite:
      return "short write";
    case FileFault::kDiskFull:
      return "disk full";
    case FileFault::kKill:
      return "SIGKILL";
  }
  return "?";
}

class FaultyFiles : public zrfw::CFileSystem {
 public:
  explicit FaultyFiles(std::string prefix) : m_prefix(std::move(prefix)) {
    m_previous = zrfw::SetFileSystem(this);
  }
  ~FaultyFiles() override { zrfw::SetFileSystem(m_previous); }
  FaultyFiles(const FaultyFiles&) = delete;
  FaultyFiles& operator=(const FaultyFiles&) = delete;

  // From now on the `n`th counted call (1-based) takes `fault`; n = 0 counts
  // calls and fails none. Resets the count.
  void Arm(long n, FileFault fault) {
    m_fault = fault;
    m_full.store(false);
    m_calls.store(0);
    m_fired.store(false);
    m_at.store(n);
  }
  void Disarm() { Arm(0, FileFault::kNoSpace); }
  long Calls() const { return m_calls.load(); }
  bool Fired() const { return m_fired.load(); }

  int Open(const char* path, int flags, mode_t mode) override {
    if (Ours(path) && Fault(false) != kPass) return -1;
    return zrfw::CFileSystem::Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    const int f = Ours(fd) ? Fault(true) : kPass;
    if (f == kFail) return -1;
    return zrfw::CFileSystem::Read(fd, buffer, f == kHalf ? Half(size) : size);
  }
  ssize_t PRead(int fd, void* buffer, std::size_t size, off_t offset) override {
    const int f = Ours(fd) ? Fault(true) : kPass;
    if (f == kFail) return -1;
    return zrfw::CFileSystem::PRead(fd, buffer, f == kHalf ? Half(size) : size, offset);
  }
  ssize_t Write(int fd, const void* bytes, std::size_t size) override {
    const int f = Ours(fd) ? Fault(true, true) : kPass;
    if (f == kFail) return -1;
    return zrfw::CFileSystem::Write(fd, bytes, f == kHalf ? Half(size) : size);
  }
  ssize_t PWrite(int fd, const void* bytes, std::size_t size, off_t offset) override {
    const int f = Ours(fd) ? Fault(true, true) : kPass;
    if (f == kFail) return -1;
    return zrfw::CFileSystem::PWrite(fd, bytes, f == kHalf ? Half(size) : size, offset);
  }
  int Fsync(int fd) override {
    if (Ours(fd) && Fault(false) != kPass) return -1;
    return zrfw::CFileSystem::Fsync(fd);
  }
  int Ftruncate(int fd, off_t length) override {
    if (Ours(fd) && Fault(false) != kPass) return -1;
    return zrfw::CFileSystem::Ftruncate(fd, length);
  }
  int Close(int fd) override {
    // Linux closes the descriptor whatever close() reports.
    const bool failed = Ours(fd) && Fault(false) != kPass;
    const int saved = errno;
    zrfw::CFileSystem::Close(fd);
    errno = saved;
    return failed ? -1 : 0;
  }
  int Rename(const char* from, const char* to) override {
    if ((Ours(from) || Ours(to)) && Fault(false) != kPass) return -1;
    return zrfw::CFileSystem::Rename(from, to);
  }
  int Unlink(const char* path) override {
    if (Ours(path) && Fault(false) != kPass) return -1;
    return zrfw::CFileSystem::Unlink(path);
  }

 private:
  static constexpr int kPass = 0, kFail = 1, kHalf = 2;

  static std::size_t Half(std::size_t size) { return size > 1 ? size / 2 : size; }

  bool Ours(const char* path) const {
    return path != nullptr && std::strncmp(path, m_prefix.c_str(), m_prefix.size()) == 0;
  }
  // The descriptor's file, as the kernel names it now (a file renamed within
  // the prefix stays ours; one removed shows " (deleted)" after its name).
  bool Ours(int fd) const {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof(target) - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return Ours(target);
  }

  // Counts the call; at the armed one, applies the fault: kFail with errno
  // set, kHalf for a transfer that moves half, or kills the process. A short
  // write armed on a call that moves no bytes passes it. Once the disk is
  // full, every later write fails with ENOSPC.
  int Fault(bool transfer, bool write = false) {
    const long n = m_calls.fetch_add(1) + 1;
    if (write && m_full.load()) {
      errno = ENOSPC;
      return kFail;
    }
    if (n != m_at.load()) return kPass;
    m_fired.store(true);
    switch (m_fault) {
      case FileFault::kNoSpace:
        errno = ENOSPC;
        return kFail;
      case FileFault::kIo:
        errno = EIO;
        return kFail;
      case FileFault::kInterrupt:
        errno = EINTR;
        return kFail;
      case FileFault::kFileSize:
        errno = EFBIG;
        return kFail;
      case FileFault::kShortWrite:
        return transfer ? kHalf : kPass;
      case FileFault::kDiskFull:
        if (!write) return kPass;
        m_full.store(true);
        return kHalf;
      case FileFault::kKill:
        ::raise(SIGKILL);
        return kFail;
    }
    return kPass;
  }

  const std::string m_prefix;
  zrfw::CFileSystem* m_previous = nullptr;
  FileFault m_fault = FileFault::kNoSpace;
  std::atomic<long> m_at{0};
  std::atomic<long> m_calls{0};
  std::atomic<bool> m_fired{false};
  std::atomic<bool> m_full{false};  // kDiskFull has struck
};

// Runs `operation` (returning bool: its own success) with the Nth counted
// call taking `fault`, for N = 1, 2, ... until a run ends without reaching
// its Nth call, and calls check(n, ok) after each run (and `reset` before
// each, if given, to bring the world back to the state the walk starts from).
// Returns N walked: the calls the operation makes when nothing fails.
template <typename Operation, typename Check>
long WalkFaults(FaultyFiles& files, FileFault fault, Operation&& operation, Check&& check) {
  for (long n = 1;; ++n) {
    files.Arm(n, fault);
    const bool ok = operation();
    const bool fired = files.Fired();
    files.Disarm();
    if (!fired) return n - 1;
    check(n, ok);
  }
}

// Runs body() in a child process whose Nth counted call kills it, for N = 1,
// 2, ... until the child ends by itself, and calls check(n) in the parent
// after each killed child. Returns N
// walked, as WalkFaults().
template <typename Body, typename Check>
long WalkKills(const std::string& prefix, Body&& body, Check&& check) {
  for (long n = 1;; ++n) {
    const pid_t child = ::fork();
    if (child == 0) {
      FaultyFiles files(prefix);
      files.Arm(n, FileFault::kKill);
      body();
      ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFSIGNALED(status)) return n - 1;
    check(n);
  }
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_FILEFAULTS_H_
