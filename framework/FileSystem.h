// zrfw::CFileSystem: the one seam through which the libraries and tools open,
// read, write, flush, rename and remove files.
//
// Every file that zrperf writes or re-opens while a process runs (the
// histogram log and its rotation, the metrics textfile, the report's
// outputs and inputs, the configuration store's lock file, the demo's state,
// the OTLP exporter's certificates and keys) goes through the object that
// Files() returns. The default one makes the system calls themselves. A test
// installs one of its own with SetFileSystem() to fail the Nth call with
// ENOSPC, EIO, EINTR, EFBIG or a short write, or to kill the process there,
// and so walks every fault point of an operation (tests/support/FileFaults.h).
//
// The calls behave as the system calls of the same names: -1 (or a short
// count) with errno set. Descriptors are plain file descriptors, so a caller
// may mix in calls that cannot fail the ways tested here (fstat, flock).
//
// ReadRegularFile() is the one way to read an input that may have been
// swapped under the process (a certificate, a key, a log being reported):
// it never blocks on what it finds at the path (a FIFO, a device), refuses
// anything but a regular file and reads at most a bounded size.
//
// Thread-safety: the calls are safe from any thread. SetFileSystem() is an
// atomic store and meant for tests: the object installed must outlive every
// call that may still be running through it.

#ifndef ZRPERF_FRAMEWORK_FILESYSTEM_H_
#define ZRPERF_FRAMEWORK_FILESYSTEM_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

#include <zrperf/sync/Export.h>

namespace zrfw {

class ZRFW_EXPORT CFileSystem {
 public:
  virtual ~CFileSystem();

  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Read(int fd, void* buffer, std::size_t size);
  virtual ssize_t PRead(int fd, void* buffer, std::size_t size, off_t offset);
  virtual ssize_t Write(int fd, const void* bytes, std::size_t size);
  virtual ssize_t PWrite(int fd, const void* bytes, std::size_t size, off_t offset);
  virtual int Fsync(int fd);
  virtual int Ftruncate(int fd, off_t length);
  virtual int Close(int fd);
  virtual int Rename(const char* from, const char* to);
  virtual int Unlink(const char* path);
};

// The file system in use: the system's own unless a test installed another.
ZRFW_EXPORT CFileSystem& Files();

// Installs `files` (nullptr: the system's own again) and returns the one it
// replaces (nullptr for the system's own).
ZRFW_EXPORT CFileSystem* SetFileSystem(CFileSystem* files);

// Writes all of `size` bytes at `bytes` to `fd`, retrying short writes and
// EINTR. Returns the bytes written: `size`, or fewer with errno set (0 for a
// write that took nothing without an error).
ZRFW_EXPORT std::size_t WriteAll(int fd, const void* bytes, std::size_t size);

// What a file of `mode` (st_mode) is, for messages: "a directory", "a FIFO",
// "a character device", "a block device", "a socket", "a symbolic link",
// "a regular file", else "not a regular file".
ZRFW_EXPORT const char* FileKind(mode_t mode);

// What ReadRegularFile() found.
enum class ReadResult {
  kRead,        // *out holds the whole file
  kMissing,     // nothing at the path (ENOENT)
  kNotRegular,  // a FIFO, device, socket or directory (after links)
  kTooLarge,    // larger than maxBytes
  kFailed,      // the open or a read failed (errno kept in *why)
};

// Reads the file at `path` into *out: opened with O_NONBLOCK, so that a FIFO
// or a device put at the path cannot hold the call; accepted only when the
// descriptor is a regular file of at most `maxBytes`, read to its end (a
// file that grows past the bound while read is kTooLarge). Links are
// followed: what is read is checked, not the name. *why gets one line that
// starts with `path` for every result but kRead.
ZRFW_EXPORT ReadResult ReadRegularFile(const std::string& path, std::size_t maxBytes,
                                       std::string* out, std::string* why);

}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_FILESYSTEM_H_
