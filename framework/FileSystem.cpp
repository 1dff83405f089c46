#include "FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zrfw {

namespace {

CFileSystem& SystemFiles() {
  // Never destroyed: files are written from threads and exit handlers that
  // may run after static destruction began.
  static CFileSystem* const files = new CFileSystem();
  return *files;
}

// Acquire/release: a test's object, fully built before it is installed, is
// seen whole by every thread that loads it.
std::atomic<CFileSystem*> g_files{nullptr};

}  // namespace

CFileSystem::~CFileSystem() = default;

int CFileSystem::Open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
ssize_t CFileSystem::Read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}
ssize_t CFileSystem::PRead(int fd, void* buffer, std::size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset);
}
ssize_t CFileSystem::Write(int fd, const void* bytes, std::size_t size) {
  return ::write(fd, bytes, size);
}
ssize_t CFileSystem::PWrite(int fd, const void* bytes, std::size_t size, off_t offset) {
  return ::pwrite(fd, bytes, size, offset);
}
int CFileSystem::Fsync(int fd) {
  return ::fsync(fd);
}
int CFileSystem::Ftruncate(int fd, off_t length) {
  return ::ftruncate(fd, length);
}
int CFileSystem::Close(int fd) {
  return ::close(fd);
}
int CFileSystem::Rename(const char* from, const char* to) {
  return std::rename(from, to);
}
int CFileSystem::Unlink(const char* path) {
  return ::unlink(path);
}

CFileSystem& Files() {
  CFileSystem* files = g_files.load(std::memory_order_acquire);
  return files != nullptr ? *files : SystemFiles();
}

CFileSystem* SetFileSystem(CFileSystem* files) {
  return g_files.exchange(files, std::memory_order_acq_rel);
}

std::size_t WriteAll(int fd, const void* bytes, std::size_t size) {
  const char* at = static_cast<const char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = Files().Write(fd, at + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done;
    if (n == 0) {
      errno = 0;
      return done;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

const char* FileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

ReadResult ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* out,
                           std::string* why) {
  out->clear();
  const int fd = Files().Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) {
    const int err = errno;
    *why = path + " cannot be opened: " + std::strerror(err);
    errno = err;
    return err == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct Closer {
    int fd;
    ~Closer() { Files().Close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *why = path + " cannot be examined: " + std::strerror(errno);
    return ReadResult::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = path + " is not a regular file";
    return ReadResult::kNotRegular;
  }
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) {
    *why = path + " is larger than " + std::to_string(maxBytes) + " bytes";
    return ReadResult::kTooLarge;
  }
  // The size is a hint: the file may grow or shrink while it is read. One
  // byte past the bound is asked for, so a file that grew past it shows.
  out->resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == out->size()) {
      if (out->size() > maxBytes) {
        out->clear();
        *why = path + " is larger than " + std::to_string(maxBytes) + " bytes";
        return ReadResult::kTooLarge;
      }
      out->resize(std::min(maxBytes + 1, out->size() * 2));
    }
    const ssize_t n = Files().Read(fd, &(*out)[got], out->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      out->clear();
      *why = path + " cannot be read: " + std::strerror(err);
      errno = err;
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out->resize(got);
  return ReadResult::kRead;
}

}  // namespace zrfw
