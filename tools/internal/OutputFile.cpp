#include "OutputFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include <zrperf/framework/FileSystem.h>

#include "ReportText.h"

namespace zrreport {

namespace {

// Ten characters of [0-9a-z] from the kernel's random source (or, where that
// fails, from the clock and the pid: O_EXCL keeps the creation safe either
// way; the randomness only keeps a squatter from guessing the name).
std::string RandomSuffix() {
  unsigned char bytes[10] = {};
  if (getrandom(bytes, sizeof(bytes), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(bytes))) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                             static_cast<unsigned long long>(getpid());
    for (unsigned char& b : bytes) {
      b = static_cast<unsigned char>(mix);
      mix = mix * 6364136223846793005ull + 1442695040888963407ull;
    }
  }
  static const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string out;
  for (unsigned char b : bytes) out += kAlphabet[b % 36];
  return out;
}

// The seam's calls, an EINTR retried (the fault harness fails a call before
// it takes effect, as a signal does before the call starts).
int OpenRetried(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = zrfw::Files().Open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

template <typename Call>
int Retried(Call&& call) {
  int result;
  do {
    result = call();
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

OutputFile::OutputFile(std::function<std::string()> suffixes)
    : m_suffixes(suffixes ? std::move(suffixes) : RandomSuffix) {}

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::Discard() {
  if (m_fd >= 0) zrfw::Files().Close(m_fd);
  m_fd = -1;
  if (!m_temporary.empty()) {
    Retried([this] { return zrfw::Files().Unlink(m_temporary.c_str()); });
  }
  m_temporary.clear();
}

bool OutputFile::Fail(const std::string& step, int error, std::string* message) {
  *message = "cannot write '" + ShownName(m_path) + "': " + step + ": " + std::strerror(error);
  Discard();
  return false;
}

bool OutputFile::Refuse(const std::string& why, std::string* message) {
  *message = "cannot write '" + ShownName(m_path) + "': " + why;
  Discard();
  return false;
}

bool OutputFile::OpenDevice(dev_t device, std::string* error) {
  // O_NONBLOCK: a device whose open() waits (a serial line for its carrier)
  // must not hold the command; writes then wait as they would on a terminal.
  m_fd = OpenRetried(m_path, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0);
  if (m_fd < 0) {
    const int e = errno;
    return Fail("opening the character device", e, error);
  }
  struct stat st {};
  if (fstat(m_fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != device) {
    return Refuse("it was replaced while it was opened", error);
  }
  const int flags = fcntl(m_fd, F_GETFL);
  if (flags < 0 || fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int e = errno;
    return Fail("fcntl", e, error);
  }
  return true;
}

bool OutputFile::Create(const std::string& path, std::string* error) {
  Discard();
  m_path = path;
  // What is at the name now: a regular file (or nothing) is replaced, a
  // character device written in place, anything else left alone. A failing
  // lstat (a missing directory, no search permission) leaves the temporary's
  // creation to report it.
  struct stat at {};
  if (lstat(path.c_str(), &at) == 0) {
    struct stat target {};
    if (S_ISCHR(at.st_mode)) return OpenDevice(at.st_rdev, error);
    if (S_ISLNK(at.st_mode) && stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
      return Refuse(std::string("it is a link to ") + zrfw::FileKind(target.st_mode) +
                        " (a link is replaced, never followed; one that leads to anything but a "
                        "regular file is left alone)",
                    error);
    }
    if (!S_ISLNK(at.st_mode) && !S_ISREG(at.st_mode)) {
      return Refuse(std::string("it is ") + zrfw::FileKind(at.st_mode) +
                        " (only a regular file is replaced, and a character device written to)",
                    error);
    }
  }
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // Kept well below NAME_MAX with the dot and the suffix.
  const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = dir;
    temporary.append(".").append(base).append(".").append(m_suffixes());
    m_fd = OpenRetried(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                       0666);
    if (m_fd >= 0) {
      m_temporary = temporary;
      return true;
    }
    if (errno != EEXIST) break;
  }
  const int e = errno;
  return Fail("creating a temporary file in '" + ShownName(dir.empty() ? "." : dir) + "'", e,
              error);
}

bool OutputFile::Write(const std::string& bytes, std::string* error) {
  if (zrfw::WriteAll(m_fd, bytes.data(), bytes.size()) == bytes.size()) return true;
  const int e = errno != 0 ? errno : EIO;  // a write that took nothing
  return Fail("write", e, error);
}

bool OutputFile::Commit(std::string* error) {
  // fsync: a crash after the rename leaves the whole new file, not an empty
  // one (file systems that cannot sync, say so with EINVAL: nothing to wait
  // for). A device has no file to flush.
  int e = 0;
  if (!m_temporary.empty() && Retried([this] { return zrfw::Files().Fsync(m_fd); }) != 0) {
    e = errno;
  }
  if (e != 0 && e != EINVAL) return Fail("fsync", e, error);
  const int fd = m_fd;
  m_fd = -1;
  // Linux has closed the descriptor whatever close() reports; after the
  // fsync, an EINTR loses nothing.
  if (zrfw::Files().Close(fd) != 0 && errno != EINTR) {
    e = errno;
    return Fail("close", e, error);
  }
  if (m_temporary.empty()) return true;
  if (Retried([this] { return zrfw::Files().Rename(m_temporary.c_str(), m_path.c_str()); }) != 0) {
    e = errno;
    return Fail("rename", e, error);
  }
  m_temporary.clear();
  return true;
}

bool WriteOutput(const std::string& path, const std::string& text, std::string* error) {
  if (path.empty()) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout)) {
      *error = std::string("cannot write to standard output: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  OutputFile out;
  return out.Create(path, error) && out.Write(text, error) && out.Commit(error);
}

}  // namespace zrreport
