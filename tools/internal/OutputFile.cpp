#include "OutputFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

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

}  // namespace

OutputFile::OutputFile(std::function<std::string()> suffixes)
    : m_suffixes(suffixes ? std::move(suffixes) : RandomSuffix) {}

OutputFile::~OutputFile() {
  if (m_fd >= 0) close(m_fd);
  if (!m_temporary.empty()) unlink(m_temporary.c_str());
}

bool OutputFile::Fail(const std::string& step, int error, std::string* message) {
  *message = "cannot write '" + ShownName(m_path) + "': " + step + ": " + std::strerror(error);
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  if (!m_temporary.empty()) unlink(m_temporary.c_str());
  m_temporary.clear();
  return false;
}

bool OutputFile::Create(const std::string& path, std::string* error) {
  m_path = path;
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // Kept well below NAME_MAX with the dot and the suffix.
  const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = dir;
    temporary.append(".").append(base).append(".").append(m_suffixes());
    m_fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
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
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      return Fail("write", e, error);
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  // fsync: a crash after the rename leaves the whole new file, not an empty
  // one (file systems that cannot sync, say so with EINVAL: nothing to wait for).
  int e = fsync(m_fd) == 0 ? 0 : errno;
  if (e != 0 && e != EINVAL) return Fail("fsync", e, error);
  const int fd = m_fd;
  m_fd = -1;
  if (close(fd) != 0) {
    e = errno;
    return Fail("close", e, error);
  }
  if (rename(m_temporary.c_str(), m_path.c_str()) != 0) {
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
